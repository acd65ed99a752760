// The supply behind the wire: it applies each request and builds its reply.
#pragma once

#include <string>

#include "load_model.hpp"
#include "qm4410/frame.hpp"

namespace qm4410::sim {

struct SupplyConfig {
    std::uint8_t address = 1;
    std::string model = "4410";      // exactly 4 characters
    std::string serial = "000000001";  // exactly 9 characters
    std::uint16_t soft_version = 102;
    double load_ohms = 10.0;
};

// What the supply holds at power-on and after a factory reset.
constexpr Setpoints kFactorySetpoints = {false, 30000, 0, 1000};

class Supply {
public:
    explicit Supply(const SupplyConfig& config);

    // Applies a request (whatever its address byte) and returns the sealed reply.
    Frame answer(const Frame& request);

    Status status() const;
    Identity identity() const;

private:
    void restore_factory();

    SupplyConfig config_;
    std::uint8_t address_;
    bool remote_ = false;
    Setpoints set_ = kFactorySetpoints;
};

}  // namespace qm4410::sim
