#include "describe.hpp"

#include <cstdarg>
#include <cstdio>

namespace qm4410::sim {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char text[256];
    va_list args;
    va_start(args, pattern);
    std::vsnprintf(text, sizeof text, pattern, args);
    va_end(args);
    return text;
}

double units(std::uint32_t milli) { return milli / 1000.0; }

const char* regulation_name(unsigned regulation) {
    switch (static_cast<Regulation>(regulation)) {
        case Regulation::ConstantVoltage: return "CV";
        case Regulation::ConstantCurrent: return "CC";
        default: return "--";
    }
}

std::string describe_status(const Status& s) {
    return format("status: %.3f V %.3f A %s, output %s, %s, fan %u%s; set %.3f V %.3f A, max %.3f V",
                  units(s.voltage_real_mv), units(s.current_real_ma), regulation_name(s.regulation()),
                  s.output_on() ? "on" : "off", s.remote() ? "remote" : "local", s.fan_speed(),
                  s.over_temperature() ? ", OVER TEMPERATURE" : "", units(s.voltage_set_mv), units(s.current_set_ma),
                  units(s.voltage_max_set_mv));
}

std::string describe_identity(const Identity& id) {
    return format("identity: address %u, model %.*s, serial %.*s, version %u", id.address,
                  static_cast<int>(id.model.size()), reinterpret_cast<const char*>(id.model.data()),
                  static_cast<int>(id.serial.size()), reinterpret_cast<const char*>(id.serial.data()), id.soft_version);
}

}  // namespace

std::string hex(const std::uint8_t* bytes, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size; ++i) out += format(i == 0 ? "%02X" : " %02X", bytes[i]);
    return out;
}

std::string describe_request(const Frame& request) {
    const std::uint8_t data = request[kSetpointOffset];
    const std::uint32_t setpoint = get_le(request.data(), kSetpointOffset, 4);
    switch (static_cast<Command>(request[2])) {
        case Command::SetWorkMode: return data ? "set remote control" : "set local control";
        case Command::SetOutMode: return data ? "set output on" : "set output off";
        case Command::SetMaxOutVoltage: return format("set maximum voltage %.3f V", units(setpoint));
        case Command::SetOutVoltage: return format("set output voltage %.3f V", units(setpoint));
        case Command::SetOutCurrent: return format("set current limit %.3f A", units(setpoint));
        case Command::SetNewAddr: return format("set address %u", data);
        case Command::ReadDevRealStatus: return "read status";
        case Command::ReadDevVersion: return "read identity";
        case Command::RestoreFactory: return "restore factory settings";
        default: return format("unknown command 0x%02X", request[2]);
    }
}

std::string describe_reply(const Frame& request, const Frame& reply) {
    switch (static_cast<Command>(request[2])) {
        case Command::ReadDevRealStatus: return describe_status(decode_status(reply.data()));
        case Command::ReadDevVersion: return describe_identity(decode_identity(reply.data()));
        default: return "acknowledged";
    }
}

}  // namespace qm4410::sim
