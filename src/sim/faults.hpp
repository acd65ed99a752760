// Misbehaviour on demand: turns a reply into what actually goes on the line.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "qm4410/frame.hpp"

namespace qm4410::sim {

using Duration = std::chrono::steady_clock::duration;

// Past the driver's polling window of 30 x 10 ms.
constexpr auto kLateBy = std::chrono::milliseconds(500);
// Both halves of a split reply still land well inside that window.
constexpr auto kSplitPause = std::chrono::milliseconds(50);
constexpr std::size_t kSplitAt = kFrameLength / 2;
// Line noise without a start byte, so a parser cannot mistake it for a frame.
constexpr std::uint8_t kStrayBytes[] = {0x00, 0x55, 0xFF};

// Each fault strikes every Nth request; 0 leaves it off.
struct FaultSettings {
    unsigned drop_every = 0;
    unsigned late_every = 0;
    unsigned corrupt_every = 0;
    unsigned split_every = 0;
    unsigned stray_every = 0;
};

// A run of bytes written together, after a pause from the previous piece
// (for the first piece: from the moment the request was complete).
struct Piece {
    Duration pause{};
    std::vector<std::uint8_t> bytes;
};

struct Transmission {
    std::vector<Piece> pieces;        // empty when the reply is withheld
    std::vector<std::string> faults;  // names of the faults applied, for the log
};

// request_number counts valid requests from 1.
Transmission plan_reply(const FaultSettings& settings, std::uint64_t request_number, const Frame& reply);

}  // namespace qm4410::sim
