#include "load_model.hpp"

#include <algorithm>
#include <cmath>

namespace qm4410::sim {

namespace {

std::uint32_t to_reading(double milli) {
    return static_cast<std::uint32_t>(std::lround(std::clamp(milli, 0.0, kSetpointMax)));
}

}  // namespace

Output regulate(const Setpoints& set, double load_ohms) {
    Output out;
    if (!set.output_on) return out;

    const double target_mv = std::min(set.voltage_mv, set.voltage_max_mv);
    const double limit_ma = set.current_ma;
    // mV / ohm = mA; a short (0 ohms) draws all it is let once any voltage is set.
    const double drawn_ma = load_ohms > 0.0 ? target_mv / load_ohms : (target_mv > 0.0 ? HUGE_VAL : 0.0);
    double volts_mv = target_mv;
    double amps_ma = drawn_ma;
    out.regulation = Regulation::ConstantVoltage;
    if (drawn_ma > limit_ma) {
        out.regulation = Regulation::ConstantCurrent;
        amps_ma = limit_ma;
        volts_mv = limit_ma * load_ohms;
    }
    out.voltage_mv = to_reading(volts_mv);
    out.current_ma = to_reading(amps_ma);

    const double watts = (volts_mv / 1000.0) * (amps_ma / 1000.0);
    out.fan_speed = static_cast<unsigned>(std::min(std::floor(watts / kWattsPerFanStep), double{kFanSpeedMax}));
    out.over_temperature = watts > kOverTemperatureWatts;
    return out;
}

}  // namespace qm4410::sim
