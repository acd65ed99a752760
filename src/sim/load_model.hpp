// What a resistive load draws from the supply, and how hot that makes it.
#pragma once

#include <cstdint>

#include "qm4410/frame.hpp"

namespace qm4410::sim {

// One fan step per this much output power; the fan tops out at step 7.
constexpr double kWattsPerFanStep = 10.0;
constexpr unsigned kFanSpeedMax = 7;
// Above this output power the supply raises its over-temperature flag.
constexpr double kOverTemperatureWatts = 80.0;

struct Setpoints {
    bool output_on = false;
    std::uint32_t voltage_max_mv = 0;
    std::uint32_t voltage_mv = 0;
    std::uint32_t current_ma = 0;
};

struct Output {
    std::uint32_t voltage_mv = 0;
    std::uint32_t current_ma = 0;
    Regulation regulation = Regulation::Unknown;  // Unknown while the output is off
    unsigned fan_speed = 0;
    bool over_temperature = false;
};

// Constant voltage while the load draws no more than the current limit,
// otherwise constant current at the limit with the voltage the load allows.
// The voltage never exceeds the maximum-voltage setting.
Output regulate(const Setpoints& set, double load_ohms);

}  // namespace qm4410::sim
