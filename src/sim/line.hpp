// The serial line between driver and supply: when received bytes have fully
// arrived, and when each outgoing byte is due. With a byte time of zero the
// line is unpaced and every piece goes out in one write.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "faults.hpp"

namespace qm4410::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Start bit, 8 data bits, stop bit.
constexpr unsigned kBitsPerByte = 10;

// A paced line holds no more than this: bytes written while this many are
// still on their way over the wire are lost (the pseudo-terminal hands them
// over at once, where a real port's write would wait), and so is a reply that
// would make more than this many wait to go out.
constexpr std::size_t kInputBuffer = 256;
constexpr std::size_t kOutputBuffer = 4096;

struct Received {
    std::size_t kept;    // bytes that fit the input buffer, from the first on
    TimePoint start;     // when the first of them starts to arrive
    Duration byte_time;  // and each one takes

    // When the first `count` of them have arrived.
    TimePoint arrived(std::size_t count) const { return start + byte_time * static_cast<Duration::rep>(count); }
};

Duration byte_time_at(unsigned baud);

class Line {
public:
    explicit Line(Duration byte_time) : byte_time_(byte_time) {}

    // `count` bytes were read at `now`: how many of them the input buffer
    // keeps, and when each of those arrives over the wire.
    Received received(TimePoint now, std::size_t count);

    // Queues a reply for a request that was complete at `ready`; false when
    // the output buffer has no room for it. Replies leave in order: a late
    // one holds back those queued after it.
    bool send(TimePoint ready, const std::vector<Piece>& pieces);

    std::optional<TimePoint> next_due() const;
    bool idle() const { return queue_.empty(); }

    // Removes and returns everything due by `now`, oldest first.
    std::vector<std::uint8_t> take_due(TimePoint now);

    // Nobody is listening any more: what was queued is lost.
    void clear();

private:
    struct Chunk {
        TimePoint due;
        std::vector<std::uint8_t> bytes;
    };

    Duration byte_time_;
    TimePoint rx_free_{};
    TimePoint tx_free_{};
    std::deque<Chunk> queue_;
    std::size_t queued_bytes_ = 0;
};

}  // namespace qm4410::sim
