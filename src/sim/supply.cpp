#include "supply.hpp"

#include <algorithm>
#include <limits>

namespace qm4410::sim {

namespace {

constexpr std::uint32_t kCurrentFieldMax = std::numeric_limits<std::uint16_t>::max();
constexpr std::uint8_t kBroadcastAddress = 0xFF;

std::uint32_t setpoint_of(const Frame& request) { return get_le(request.data(), kSetpointOffset, 4); }

Frame echo(const Frame& request) {
    Frame reply = make_frame(request[1], static_cast<Command>(request[2]));
    seal(reply);
    return reply;
}

}  // namespace

Supply::Supply(const SupplyConfig& config) : config_(config), address_(config.address) {}

void Supply::restore_factory() {
    address_ = config_.address;
    remote_ = false;
    set_ = kFactorySetpoints;
}

std::optional<Frame> Supply::answer(const Frame& request) {
    if (config_.strict_address && request[1] != address_ && request[1] != kBroadcastAddress) return std::nullopt;
    const auto word = static_cast<Command>(request[2]);
    const std::uint8_t data = request[kSetpointOffset];
    switch (word) {
        case Command::SetWorkMode: remote_ = data != 0; break;
        case Command::SetOutMode: set_.output_on = data != 0; break;
        case Command::SetMaxOutVoltage: set_.voltage_max_mv = setpoint_of(request); break;
        case Command::SetOutVoltage: set_.voltage_mv = setpoint_of(request); break;
        // The status reply carries the limit in 16 bits, so that is the range.
        case Command::SetOutCurrent: set_.current_ma = std::min(setpoint_of(request), kCurrentFieldMax); break;
        case Command::SetNewAddr: address_ = data; break;
        case Command::RestoreFactory: restore_factory(); break;
        case Command::ReadDevRealStatus: {
            Frame reply = make_frame(address_, word);
            encode_status(reply, status());
            seal(reply);
            return reply;
        }
        case Command::ReadDevVersion: {
            Frame reply = make_frame(address_, word);
            encode_identity(reply, identity());
            seal(reply);
            return reply;
        }
        default: break;  // unknown words are acknowledged and change nothing
    }
    return echo(request);
}

Status Supply::status() const {
    const Output out = regulate(set_, config_.load_ohms);
    Status s;
    s.current_real_ma = static_cast<std::uint16_t>(std::min(out.current_ma, kCurrentFieldMax));
    s.voltage_real_mv = out.voltage_mv;
    s.flags = static_cast<std::uint8_t>(
        (set_.output_on ? status_bits::kOutputOn : 0) |
        (out.over_temperature || forced_over_temperature_ ? status_bits::kOverTemperature : 0) |
        (static_cast<unsigned>(out.regulation) << status_bits::kRegulationShift) |
        (out.fan_speed << status_bits::kFanShift) | (remote_ ? status_bits::kRemote : 0));
    s.current_set_ma = static_cast<std::uint16_t>(set_.current_ma);
    s.voltage_max_set_mv = set_.voltage_max_mv;
    s.voltage_set_mv = set_.voltage_mv;
    return s;
}

Identity Supply::identity() const {
    Identity id;
    id.address = address_;
    std::copy_n(config_.model.begin(), id.model.size(), id.model.begin());
    std::copy_n(config_.serial.begin(), id.serial.size(), id.serial.begin());
    id.soft_version = config_.soft_version;
    return id;
}

}  // namespace qm4410::sim
