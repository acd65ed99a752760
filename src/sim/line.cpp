#include "line.hpp"

#include <algorithm>

namespace qm4410::sim {

Duration byte_time_at(unsigned baud) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(double{kBitsPerByte} / baud));
}

Received Line::received(TimePoint now, std::size_t count) {
    if (byte_time_ == Duration::zero()) return {count, now, byte_time_};
    const TimePoint start = std::max(rx_free_, now);
    const auto arriving = static_cast<std::size_t>((start - now) / byte_time_);
    const Received received{std::min(count, kInputBuffer - std::min(arriving, kInputBuffer)), start, byte_time_};
    rx_free_ = received.arrived(received.kept);
    return received;
}

bool Line::send(TimePoint ready, const std::vector<Piece>& pieces) {
    std::size_t size = 0;
    for (const Piece& piece : pieces) size += piece.bytes.size();
    if (queued_bytes_ + size > kOutputBuffer) return false;
    queued_bytes_ += size;
    TimePoint t = std::max(ready, tx_free_);
    for (const Piece& piece : pieces) {
        t += piece.pause;
        if (byte_time_ == Duration::zero()) {
            queue_.push_back({t, piece.bytes});
            continue;
        }
        for (std::uint8_t byte : piece.bytes) {
            t += byte_time_;  // a byte is there once its stop bit is
            queue_.push_back({t, {byte}});
        }
    }
    tx_free_ = t;
    return true;
}

std::optional<TimePoint> Line::next_due() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

std::vector<std::uint8_t> Line::take_due(TimePoint now) {
    std::vector<std::uint8_t> out;
    while (!queue_.empty() && queue_.front().due <= now) {
        out.insert(out.end(), queue_.front().bytes.begin(), queue_.front().bytes.end());
        queued_bytes_ -= queue_.front().bytes.size();
        queue_.pop_front();
    }
    return out;
}

void Line::clear() {
    queue_.clear();
    queued_bytes_ = 0;
    rx_free_ = {};
    tx_free_ = {};
}

}  // namespace qm4410::sim
