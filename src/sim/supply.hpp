// The supply behind the wire: it applies each request and builds its reply.
#pragma once

#include <optional>
#include <string>

#include "load_model.hpp"
#include "qm4410/frame.hpp"

namespace qm4410::sim {

struct SupplyConfig {
    std::uint8_t address = 1;
    std::string model = "4410";        // exactly 4 characters
    std::string serial = "000000001";  // exactly 9 characters
    std::uint16_t soft_version = 102;
    double load_ohms = 10.0;
    // Answer only requests sent to this address or to all (255), as a
    // supply on a bus with others does; otherwise every request is answered.
    bool strict_address = false;
};

// What the supply holds at power-on and after a factory reset.
constexpr Setpoints kFactorySetpoints = {false, 30000, 0, 1000};

class Supply {
public:
    explicit Supply(const SupplyConfig& config);

    // Applies a request and returns the sealed reply; nothing for a request
    // to another address when the address is strict (the request is ignored).
    std::optional<Frame> answer(const Frame& request);

    // Changes while running (--control): the load, and a forced
    // over-temperature flag beside the one the output power raises.
    void set_load(double ohms) { config_.load_ohms = ohms; }
    void force_over_temperature(bool on) { forced_over_temperature_ = on; }
    // Power restored after it was lost: the factory settings, as at start-up.
    void power_up() { restore_factory(); }

    Status status() const;
    Identity identity() const;

private:
    void restore_factory();

    SupplyConfig config_;
    std::uint8_t address_;
    bool remote_ = false;
    bool forced_over_temperature_ = false;
    Setpoints set_ = kFactorySetpoints;
};

}  // namespace qm4410::sim
