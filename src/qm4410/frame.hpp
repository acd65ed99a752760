// The supply's wire format: 26-byte frames, additive checksum, little-endian
// readings. Plain C++ with no Python types, shared by the extension and the
// virtual supply so that both ends speak from one definition.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

namespace qm4410 {

constexpr std::size_t kFrameLength = 26;
constexpr std::size_t kChecksumIndex = kFrameLength - 1;
constexpr std::uint8_t kStartByte = 0xAA;
constexpr std::uint8_t kUnknownAddress = 0xFF;

enum class Command : std::uint8_t {
    SetWorkMode = 0x20,
    SetOutMode = 0x21,
    SetMaxOutVoltage = 0x22,
    SetOutVoltage = 0x23,
    SetOutCurrent = 0x24,
    SetNewAddr = 0x25,
    ReadDevRealStatus = 0x26,
    ReadDevVersion = 0x31,
    RestoreFactory = 0x32,
    DevReturn = 0x12,
};

using Frame = std::array<std::uint8_t, kFrameLength>;

constexpr std::size_t kAddressIndex = 1;
constexpr std::size_t kCommandIndex = 2;
constexpr std::size_t kFirstDataIndex = 3;

// The nine words a request can carry (not the reply word 0x12).
constexpr bool is_request_word(std::uint8_t word) {
    return (word >= static_cast<std::uint8_t>(Command::SetWorkMode) &&
            word <= static_cast<std::uint8_t>(Command::ReadDevRealStatus)) ||
           word == static_cast<std::uint8_t>(Command::ReadDevVersion) ||
           word == static_cast<std::uint8_t>(Command::RestoreFactory);
}

// Every request starts from this; bytes 1, 2 and 25 are placeholders.
constexpr Frame kTemplate = {
    kStartByte, kUnknownAddress, 0x20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xCC};

// Low 8 bits of the sum of `count` bytes.
constexpr std::uint8_t checksum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum & 0xFF);
}

constexpr void seal(Frame& frame) { frame[kChecksumIndex] = checksum(frame.data(), kChecksumIndex); }

// A reply counts when it is one whole frame with the start byte and a
// matching checksum; address and command word are not examined.
constexpr bool is_valid_frame(const std::uint8_t* bytes, std::size_t size) {
    return size == kFrameLength && bytes[0] == kStartByte && bytes[kChecksumIndex] == checksum(bytes, kChecksumIndex);
}

// A request from the template with its address and command word; data bytes
// are zero and the checksum is not yet stored.
constexpr Frame make_frame(std::uint8_t address, Command word) {
    Frame frame = kTemplate;
    frame[1] = address;
    frame[2] = static_cast<std::uint8_t>(word);
    return frame;
}

constexpr void put_le(Frame& frame, std::size_t offset, std::uint32_t value, std::size_t width) {
    for (std::size_t k = 0; k < width; ++k) frame[offset + k] = static_cast<std::uint8_t>(value >> (8 * k));
}

constexpr std::uint32_t get_le(const std::uint8_t* bytes, std::size_t offset, std::size_t width) {
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < width; ++k) value |= static_cast<std::uint32_t>(bytes[offset + k]) << (8 * k);
    return value;
}

// ---- set-points: bytes 3..6 of the three set-point requests ----

constexpr std::size_t kSetpointOffset = kFirstDataIndex;
constexpr double kSetpointMax = 4294967295.0;

enum class SetpointError { None, Infinite, NotANumber, OutOfRange };

struct Setpoint {
    std::uint32_t milli = 0;  // mV or mA
    SetpointError error = SetpointError::None;
};

// Volts or amperes to the wire's thousandths: the value as written in
// decimal (the shortest decimal text that reads back as the same double,
// Python's repr of it) times 1000, truncated toward zero. So 0.029 A is
// 29 mA, although 0.029 * 1000 is 28.999999999999996 in double precision,
// and 1.0009 V is 1000 mV. Values that the 32-bit field cannot carry are
// refused instead of wrapping, a finite value whose product overflows double
// precision among them; an infinite value and NaN are refused as such.
//
// No text is needed. The product truncates as the decimal value does except
// where it lies within rounding of a whole number n; there the decimal value
// is n / 1000 itself when the double is the one nearest to n / 1000 (below
// 4294967.296 V no other decimal of three places or fewer lies as close),
// and otherwise lies on the double's side of n / 1000.
inline Setpoint to_milli(double units) {
    if (std::isinf(units)) return {0, SetpointError::Infinite};
    if (std::isnan(units)) return {0, SetpointError::NotANumber};
    const double product = units * 1000.0;
    if (std::isinf(product)) return {0, SetpointError::OutOfRange};
    const double size = std::fabs(units);
    const double magnitude = std::fabs(product);
    const double nearest = std::round(magnitude);
    double whole = std::trunc(magnitude);
    // The decimal value and the double differ by half a unit in the last
    // place at most, the product adds as much again: this bound is wider.
    if (std::fabs(magnitude - nearest) <= (magnitude + 1.0) * 0x1p-40) {
        whole = size >= nearest / 1000.0 ? nearest : nearest - 1.0;
    }
    if (whole > kSetpointMax || (std::signbit(units) && whole >= 1.0)) return {0, SetpointError::OutOfRange};
    return {static_cast<std::uint32_t>(whole), SetpointError::None};
}

// ---- status reply (command 0x26) ----

namespace status_bits {
constexpr std::uint8_t kOutputOn = 0x01;
constexpr std::uint8_t kOverTemperature = 0x02;
constexpr std::uint8_t kRegulationMask = 0x0C;
constexpr unsigned kRegulationShift = 2;
constexpr std::uint8_t kFanMask = 0x70;
constexpr unsigned kFanShift = 4;
constexpr std::uint8_t kRemote = 0x80;
}  // namespace status_bits

enum class Regulation : std::uint8_t { Unknown = 0, ConstantVoltage = 1, ConstantCurrent = 2 };

struct Status {
    std::uint16_t current_real_ma = 0;
    std::uint32_t voltage_real_mv = 0;
    std::uint8_t flags = 0;
    std::uint16_t current_set_ma = 0;
    std::uint32_t voltage_max_set_mv = 0;
    std::uint32_t voltage_set_mv = 0;

    constexpr bool output_on() const { return (flags & status_bits::kOutputOn) == status_bits::kOutputOn; }
    constexpr bool over_temperature() const { return (flags & status_bits::kOverTemperature) != 0; }
    constexpr unsigned regulation() const {
        return (flags & status_bits::kRegulationMask) >> status_bits::kRegulationShift;
    }
    constexpr unsigned fan_speed() const { return (flags & status_bits::kFanMask) >> status_bits::kFanShift; }
    constexpr bool remote() const { return (flags & status_bits::kRemote) != 0; }
};

// Reply byte offsets.
namespace status_layout {
constexpr std::size_t kCurrentReal = 3;     // 16 bits, mA
constexpr std::size_t kVoltageReal = 5;     // 32 bits, mV
constexpr std::size_t kFlags = 9;           // status byte
constexpr std::size_t kCurrentSet = 10;     // 16 bits, mA
constexpr std::size_t kVoltageMaxSet = 12;  // 32 bits, mV
constexpr std::size_t kVoltageSet = 16;     // 32 bits, mV
constexpr std::size_t kEnd = 20;            // bytes a decoder needs
}  // namespace status_layout

constexpr Status decode_status(const std::uint8_t* reply) {
    using namespace status_layout;
    Status s;
    s.current_real_ma = static_cast<std::uint16_t>(get_le(reply, kCurrentReal, 2));
    s.voltage_real_mv = get_le(reply, kVoltageReal, 4);
    s.flags = reply[kFlags];
    s.current_set_ma = static_cast<std::uint16_t>(get_le(reply, kCurrentSet, 2));
    s.voltage_max_set_mv = get_le(reply, kVoltageMaxSet, 4);
    s.voltage_set_mv = get_le(reply, kVoltageSet, 4);
    return s;
}

constexpr void encode_status(Frame& frame, const Status& s) {
    using namespace status_layout;
    put_le(frame, kCurrentReal, s.current_real_ma, 2);
    put_le(frame, kVoltageReal, s.voltage_real_mv, 4);
    frame[kFlags] = s.flags;
    put_le(frame, kCurrentSet, s.current_set_ma, 2);
    put_le(frame, kVoltageMaxSet, s.voltage_max_set_mv, 4);
    put_le(frame, kVoltageSet, s.voltage_set_mv, 4);
}

// ---- identity reply (command 0x31) ----

namespace identity_layout {
constexpr std::size_t kAddress = 1;
constexpr std::size_t kModel = 3;  // 4 character codes
constexpr std::size_t kModelLength = 4;
constexpr std::size_t kSoftVersion = 8;  // 16 bits
constexpr std::size_t kSerial = 10;      // 9 character codes
constexpr std::size_t kSerialLength = 9;
constexpr std::size_t kEnd = kSerial + kSerialLength;  // bytes a decoder needs
}  // namespace identity_layout

struct Identity {
    std::uint8_t address = 0;
    std::array<std::uint8_t, identity_layout::kModelLength> model{};
    std::uint16_t soft_version = 0;
    std::array<std::uint8_t, identity_layout::kSerialLength> serial{};
};

constexpr Identity decode_identity(const std::uint8_t* reply) {
    using namespace identity_layout;
    Identity id;
    id.address = reply[kAddress];
    for (std::size_t i = 0; i < kModelLength; ++i) id.model[i] = reply[kModel + i];
    id.soft_version = static_cast<std::uint16_t>(get_le(reply, kSoftVersion, 2));
    for (std::size_t i = 0; i < kSerialLength; ++i) id.serial[i] = reply[kSerial + i];
    return id;
}

constexpr void encode_identity(Frame& frame, const Identity& id) {
    using namespace identity_layout;
    frame[kAddress] = id.address;
    for (std::size_t i = 0; i < kModelLength; ++i) frame[kModel + i] = id.model[i];
    put_le(frame, kSoftVersion, id.soft_version, 2);
    for (std::size_t i = 0; i < kSerialLength; ++i) frame[kSerial + i] = id.serial[i];
}

}  // namespace qm4410
