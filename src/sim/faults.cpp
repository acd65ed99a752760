#include "faults.hpp"

#include <iterator>

namespace qm4410::sim {

namespace {

bool strikes(unsigned every, std::uint64_t request_number) { return every != 0 && request_number % every == 0; }

}  // namespace

Transmission plan_reply(const FaultSettings& settings, std::uint64_t request_number, const Frame& reply) {
    Transmission out;
    if (strikes(settings.drop_every, request_number)) {
        out.faults.emplace_back("dropped");
        return out;
    }

    std::vector<std::uint8_t> bytes;
    if (strikes(settings.stray_every, request_number)) {
        bytes.assign(std::begin(kStrayBytes), std::end(kStrayBytes));
        out.faults.emplace_back("stray bytes first");
    }
    const std::size_t reply_start = bytes.size();
    bytes.insert(bytes.end(), reply.begin(), reply.end());
    if (strikes(settings.corrupt_every, request_number)) {
        bytes[reply_start + kChecksumIndex] ^= 0xFF;
        out.faults.emplace_back("checksum corrupted");
    }

    Duration first_pause{};
    if (strikes(settings.late_every, request_number)) {
        first_pause = kLateBy;
        out.faults.emplace_back("late");
    }
    if (strikes(settings.split_every, request_number)) {
        const auto cut = bytes.begin() + static_cast<std::ptrdiff_t>(reply_start + kSplitAt);
        out.pieces.push_back({first_pause, {bytes.begin(), cut}});
        out.pieces.push_back({kSplitPause, {cut, bytes.end()}});
        out.faults.emplace_back("split");
    } else {
        out.pieces.push_back({first_pause, std::move(bytes)});
    }
    return out;
}

}  // namespace qm4410::sim
