// libFuzzer target for the wire format: the virtual supply's side (request
// parser, supply, fault planner, log renderings) and the driver's side
// (frame check, reply decoders, set-point conversion).
//
// Input layout:
//   byte 0      separator: the rest is cut into chunks at each byte equal to it,
//               and the chunks are fed to the request parser one by one
//   byte 1      supply settings: load resistance and fault periods
//   bytes 2...  the line; also read as a reply frame and as doubles
//
// Any broken invariant aborts, which libFuzzer reports as a crash.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "qm4410/frame.hpp"
#include "sim/describe.hpp"
#include "sim/faults.hpp"
#include "sim/request_parser.hpp"
#include "sim/supply.hpp"

using namespace qm4410;
using namespace qm4410::sim;

namespace {

[[noreturn]] void fail(const char* what, long line) {
    std::fprintf(stderr, "invariant broken at line %ld: %s\n", line, what);
    std::abort();
}
#define EXPECT(cond)                        \
    do {                                    \
        if (!(cond)) fail(#cond, __LINE__); \
    } while (0)

// Written out here, not taken from frame.hpp, so the two are checked against each other.
bool reference_valid(const std::uint8_t* b, std::size_t n) {
    if (n != 26 || b[0] != 0xAA) return false;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 25; ++i) sum += b[i];
    return b[25] == (sum & 0xFF);
}

std::uint32_t le(const std::uint8_t* b, std::size_t offset, std::size_t width) {
    std::uint32_t v = 0;
    for (std::size_t k = width; k-- > 0;) v = (v << 8) | b[offset + k];
    return v;
}

// Heap copies of exactly `n` bytes, so that reading past them is an ASan report.
std::unique_ptr<std::uint8_t[]> exact_copy(const std::uint8_t* b, std::size_t n) {
    std::unique_ptr<std::uint8_t[]> copy(new std::uint8_t[n ? n : 1]);
    if (n) std::memcpy(copy.get(), b, n);
    return copy;
}

// What the supply should hold, kept from the requests alone.
struct Model {
    std::uint8_t address;
    bool remote = false;
    Setpoints set = kFactorySetpoints;
};

void check_reply(const Frame& request, const Frame& reply, Model& m, const SupplyConfig& config) {
    EXPECT(is_valid_frame(reply.data(), reply.size()));
    EXPECT(reference_valid(reply.data(), reply.size()));
    EXPECT(reply[2] == request[2]);
    const std::uint8_t data = request[3];
    const std::uint32_t setpoint = le(request.data(), 3, 4);
    switch (static_cast<Command>(request[2])) {
        case Command::SetWorkMode: m.remote = data != 0; break;
        case Command::SetOutMode: m.set.output_on = data != 0; break;
        case Command::SetMaxOutVoltage: m.set.voltage_max_mv = setpoint; break;
        case Command::SetOutVoltage: m.set.voltage_mv = setpoint; break;
        case Command::SetOutCurrent: m.set.current_ma = std::min<std::uint32_t>(setpoint, 0xFFFF); break;
        case Command::SetNewAddr: m.address = data; break;
        case Command::RestoreFactory: m = Model{config.address}; break;
        case Command::ReadDevRealStatus: {
            EXPECT(reply[1] == m.address);
            const Status s = decode_status(reply.data());
            EXPECT(s.voltage_set_mv == m.set.voltage_mv);
            EXPECT(s.voltage_max_set_mv == m.set.voltage_max_mv);
            EXPECT(s.current_set_ma == m.set.current_ma);
            EXPECT(s.output_on() == m.set.output_on);
            EXPECT(s.remote() == m.remote);
            EXPECT(s.fan_speed() <= 7 && s.regulation() <= 2);
            if (!m.set.output_on) {
                EXPECT(s.voltage_real_mv == 0 && s.current_real_ma == 0 && s.regulation() == 0);
                EXPECT(s.fan_speed() == 0 && !s.over_temperature());
            } else {
                EXPECT(s.voltage_real_mv <= std::min(m.set.voltage_mv, m.set.voltage_max_mv));
                EXPECT(s.current_real_ma <= s.current_set_ma);
                EXPECT(s.regulation() != 0);
            }
            return;
        }
        case Command::ReadDevVersion: {
            const Identity id = decode_identity(reply.data());
            EXPECT(id.address == m.address);
            EXPECT(std::equal(id.model.begin(), id.model.end(), config.model.begin()));
            EXPECT(std::equal(id.serial.begin(), id.serial.end(), config.serial.begin()));
            EXPECT(id.soft_version == config.soft_version);
            return;
        }
        default: break;
    }
    // Settings and unknown words: the request's address and word, data zero.
    Frame echo = make_frame(request[1], static_cast<Command>(request[2]));
    seal(echo);
    EXPECT(reply == echo);
}

void check_transmission(const FaultSettings& faults, std::uint64_t number, const Frame& reply) {
    const Transmission sent = plan_reply(faults, number, reply);
    std::vector<std::uint8_t> line;
    for (const Piece& piece : sent.pieces) line.insert(line.end(), piece.bytes.begin(), piece.bytes.end());
    if (sent.pieces.empty()) {
        EXPECT(faults.drop_every != 0 && number % faults.drop_every == 0);
        return;
    }
    EXPECT(sent.pieces.size() <= 2);
    EXPECT(line.size() == kFrameLength || line.size() == kFrameLength + sizeof kStrayBytes);
    const std::uint8_t* on_line = line.data() + (line.size() - kFrameLength);
    EXPECT(std::equal(reply.begin(), reply.end() - 1, on_line));
    const bool corrupted = faults.corrupt_every != 0 && number % faults.corrupt_every == 0;
    EXPECT(is_valid_frame(on_line, kFrameLength) != corrupted);
    // Stray bytes never contain a start byte, so a parser skips them.
    RequestParser parser;
    const Parsed parsed = parser.feed(line.data(), line.size());
    EXPECT(parsed.frames.size() == (corrupted ? 0u : 1u));
}

// Feeds the line in chunks, checks every frame and the byte accounting, and
// returns everything the parser produced (frames, drops, leftovers) in order
// of output so a one-shot parse can be compared with it.
struct ParseLog {
    std::vector<Frame> frames;
    std::vector<std::uint8_t> dropped;
    std::vector<std::uint8_t> left;
};

ParseLog parse_in_chunks(const std::vector<std::vector<std::uint8_t>>& chunks, const SupplyConfig& config,
                         const FaultSettings& faults) {
    RequestParser parser;
    Supply supply(config);
    Model model{config.address};
    ParseLog log;
    std::size_t in = 0, out = 0;
    std::array<std::size_t, 256> seen_in{}, seen_out{};
    for (const auto& chunk : chunks) {
        // An exact-size heap copy: the parser must not read beyond it.
        auto bytes = exact_copy(chunk.data(), chunk.size());
        const Parsed parsed = parser.feed(bytes.get(), chunk.size());
        in += chunk.size();
        for (std::uint8_t b : chunk) ++seen_in[b];
        for (std::uint8_t b : parsed.dropped) ++seen_out[b];
        out += parsed.dropped.size() + parsed.frames.size() * kFrameLength;
        for (const Frame& request : parsed.frames) {
            EXPECT(is_valid_frame(request.data(), request.size()));
            EXPECT(reference_valid(request.data(), request.size()));
            for (std::uint8_t b : request) ++seen_out[b];
            const Frame reply = *supply.answer(request);  // every address is answered
            check_reply(request, reply, model, config);
            check_transmission(faults, log.frames.size() + 1, reply);
            (void)describe_request(request);
            (void)describe_reply(request, reply);
            log.frames.push_back(request);
        }
        log.dropped.insert(log.dropped.end(), parsed.dropped.begin(), parsed.dropped.end());
        // What is kept is an unfinished frame: it starts with the start byte
        // and is too short to be judged yet.
        EXPECT(in == out + parser.pending());
        EXPECT(parser.pending() < kFrameLength);
    }
    log.left = parser.reset();
    EXPECT(parser.pending() == 0);
    EXPECT(log.left.empty() || log.left[0] == kStartByte);
    for (std::uint8_t b : log.left) ++seen_out[b];
    EXPECT(seen_in == seen_out);
    (void)hex(log.left);
    return log;
}

// The parser's rule, written as plainly as possible: at each start byte take
// the next 26 bytes if they are a valid frame, else give up on that start
// byte alone; fewer than 26 bytes from a start byte wait for more.
ParseLog reference_parse(const std::vector<std::uint8_t>& line) {
    ParseLog log;
    std::size_t i = 0;
    while (i < line.size()) {
        if (line[i] != 0xAA) {
            log.dropped.push_back(line[i++]);
        } else if (line.size() - i < 26) {
            log.left.assign(line.begin() + static_cast<std::ptrdiff_t>(i), line.end());
            break;
        } else if (reference_valid(&line[i], 26)) {
            Frame f;
            std::copy_n(&line[i], 26, f.begin());
            log.frames.push_back(f);
            i += 26;
        } else {
            log.dropped.push_back(line[i++]);
        }
    }
    return log;
}

void fuzz_parser(std::uint8_t separator, std::uint8_t settings, const std::uint8_t* line, std::size_t size) {
    SupplyConfig config;
    config.address = settings;
    const double loads[] = {10.0, 0.001, 1e-300, 1e6, std::numeric_limits<double>::infinity(), 3.3, 100.0, 1.0};
    config.load_ohms = loads[settings & 7];
    FaultSettings faults;
    faults.drop_every = (settings >> 3) & 3;
    faults.corrupt_every = (settings >> 4) & 3;
    faults.stray_every = (settings >> 5) & 3;
    faults.split_every = (settings >> 6) & 3;
    faults.late_every = settings & 3;

    std::vector<std::vector<std::uint8_t>> chunks(1);
    std::vector<std::uint8_t> whole;
    for (std::size_t i = 0; i < size; ++i) {
        if (line[i] == separator) {
            chunks.emplace_back();
        } else {
            chunks.back().push_back(line[i]);
            whole.push_back(line[i]);
        }
    }
    const ParseLog chunked = parse_in_chunks(chunks, config, faults);
    // How the bytes happen to be cut into reads must not change the outcome.
    const ParseLog at_once = parse_in_chunks({whole}, config, faults);
    EXPECT(chunked.frames == at_once.frames);
    EXPECT(chunked.dropped == at_once.dropped);
    EXPECT(chunked.left == at_once.left);
    const ParseLog expected = reference_parse(whole);
    EXPECT(at_once.frames == expected.frames);
    EXPECT(at_once.dropped == expected.dropped);
    EXPECT(at_once.left == expected.left);
}

void fuzz_reply(const std::uint8_t* bytes, std::size_t size) {
    // The frame check on every length up to the input's, reading only what it is given.
    for (std::size_t n = 0; n <= std::min<std::size_t>(size, kFrameLength + 2); ++n) {
        auto copy = exact_copy(bytes, n);
        EXPECT(is_valid_frame(copy.get(), n) == reference_valid(copy.get(), n));
    }
    if (size < kFrameLength) return;

    Frame reply;
    std::copy(bytes, bytes + kFrameLength, reply.begin());

    // Status: the decoder reads only the first kEnd bytes, the fields come
    // from their little-endian offsets, and encoding gives the bytes back.
    {
        auto head = exact_copy(reply.data(), status_layout::kEnd);
        const Status s = decode_status(head.get());
        EXPECT(s.current_real_ma == le(bytes, 3, 2));
        EXPECT(s.voltage_real_mv == le(bytes, 5, 4));
        EXPECT(s.flags == bytes[9]);
        EXPECT(s.current_set_ma == le(bytes, 10, 2));
        EXPECT(s.voltage_max_set_mv == le(bytes, 12, 4));
        EXPECT(s.voltage_set_mv == le(bytes, 16, 4));
        EXPECT(s.output_on() == (bytes[9] & 1) && s.over_temperature() == ((bytes[9] >> 1) & 1));
        EXPECT(s.regulation() == ((bytes[9] >> 2) & 3) && s.fan_speed() == ((bytes[9] >> 4) & 7));
        EXPECT(s.remote() == (bytes[9] >> 7));
        Frame again{};
        std::fill(again.begin(), again.end(), 0x5A);
        encode_status(again, s);
        EXPECT(std::equal(again.begin() + 3, again.begin() + status_layout::kEnd, reply.begin() + 3));
        EXPECT(again[0] == 0x5A && again[1] == 0x5A && again[2] == 0x5A && again[20] == 0x5A);
    }
    // Identity: the same, for address, model, version and serial; byte 7 is not part of it.
    {
        auto head = exact_copy(reply.data(), identity_layout::kEnd);
        const Identity id = decode_identity(head.get());
        EXPECT(id.address == bytes[1] && id.soft_version == le(bytes, 8, 2));
        EXPECT(std::equal(id.model.begin(), id.model.end(), bytes + 3));
        EXPECT(std::equal(id.serial.begin(), id.serial.end(), bytes + 10));
        Frame again = reply;
        again[7] ^= 0xFF;
        const Frame before = again;
        encode_identity(again, decode_identity(reply.data()));
        EXPECT(again == before);
        (void)describe_reply(make_frame(0, Command::ReadDevVersion), reply);
        (void)describe_reply(make_frame(0, Command::ReadDevRealStatus), reply);
    }
    // Sealing makes any frame with the start byte valid; one changed byte breaks it.
    {
        Frame sealed = reply;
        sealed[0] = kStartByte;
        seal(sealed);
        EXPECT(is_valid_frame(sealed.data(), sealed.size()));
        const std::size_t at = bytes[2] % kFrameLength;
        const std::uint8_t delta = static_cast<std::uint8_t>(bytes[3] | 1);
        sealed[at] = static_cast<std::uint8_t>(sealed[at] + delta);
        EXPECT(!is_valid_frame(sealed.data(), sealed.size()));
    }
}

// The shortest decimal text that reads back as `units`, as Python's repr
// gives it: the correctly rounded digits at the fewest that read back (the
// fuzzer runs in the C locale).
std::string shortest_text(double units) {
    char text[40];
    for (int digits = 1; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*e", digits - 1, units);
        if (std::strtod(text, nullptr) == units) break;
    }
    return text;
}

// What the set-point should be, worked out from that text digit by digit:
// the whole thousandths of its magnitude, up to 2^40 (larger counts as 2^40).
std::uint64_t thousandths_of(const std::string& text) {
    constexpr std::uint64_t cap = 1ULL << 40;
    const std::size_t mark = text.find('e');
    std::string digits;
    long point = 0;  // where the decimal point stands in `digits`
    for (std::size_t i = 0; i < mark; ++i) {
        if (text[i] == '.') point = static_cast<long>(digits.size());
        if (text[i] >= '0' && text[i] <= '9') digits += text[i];
    }
    if (text.find('.') == std::string::npos) point = static_cast<long>(digits.size());
    point += std::strtol(text.c_str() + mark + 1, nullptr, 10) + 3;  // times 1000
    std::uint64_t whole = 0;
    for (long k = 0; k < point; ++k) {
        whole = whole * 10 + (k < static_cast<long>(digits.size()) ? digits[k] - '0' : 0);
        if (whole >= cap) return cap;
    }
    return whole;
}

// Set-points as the driver converts them, and as the supply reads them back.
void fuzz_setpoints(const std::uint8_t* bytes, std::size_t size) {
    Supply supply(SupplyConfig{});
    std::uint32_t previous_milli = 0;
    std::vector<double> values;
    for (std::size_t i = 0; i + sizeof(double) <= size; i += sizeof(double)) {
        double units;
        std::memcpy(&units, bytes + i, sizeof units);
        if (std::isnan(units)) {
            const Setpoint sp = to_milli(units);
            EXPECT(sp.error == SetpointError::NotANumber && sp.milli == 0);
        } else {
            values.push_back(units);
        }
    }
    // Sorted to check that the conversion is monotonic (NaN, unordered, is out).
    std::sort(values.begin(), values.end());
    for (double units : values) {
        const Setpoint sp = to_milli(units);
        if (std::isinf(units)) {
            EXPECT(sp.error == SetpointError::Infinite);
            continue;
        }
        if (std::isinf(units * 1000.0)) {  // finite, but no 32-bit field holds it
            EXPECT(sp.error == SetpointError::OutOfRange);
            continue;
        }
        // The value as written in decimal, truncated.
        const std::uint64_t expected = thousandths_of(shortest_text(units));
        if (expected > 0xFFFFFFFFULL || (std::signbit(units) && expected > 0)) {
            EXPECT(sp.error == SetpointError::OutOfRange);
            continue;
        }
        EXPECT(sp.error == SetpointError::None && sp.milli == expected);
        // Never more than asked, less by under one unit.
        EXPECT(std::fabs(product) - static_cast<double>(sp.milli) < 1.0 + 1e-6);
        // Monotonic in the value.
        EXPECT(previous_milli <= sp.milli);
        previous_milli = sp.milli;

        for (Command word : {Command::SetOutVoltage, Command::SetMaxOutVoltage, Command::SetOutCurrent}) {
            Frame request = make_frame(1, word);
            put_le(request, kSetpointOffset, sp.milli, 4);
            seal(request);
            EXPECT(get_le(request.data(), kSetpointOffset, 4) == sp.milli);
            supply.answer(request);
        }
        const Status s = supply.status();
        EXPECT(s.voltage_set_mv == sp.milli && s.voltage_max_set_mv == sp.milli);
        EXPECT(s.current_set_ma == std::min<std::uint32_t>(sp.milli, 0xFFFF));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    fuzz_parser(data[0], data[1], data + 2, size - 2);
    fuzz_reply(data + 2, size - 2);
    fuzz_setpoints(data + 2, size - 2);
    return 0;
}
