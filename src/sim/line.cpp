#include "line.hpp"

#include <algorithm>

namespace qm4410::sim {

Duration byte_time_at(unsigned baud) {
    return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(double{kBitsPerByte} / baud));
}

TimePoint Line::received(TimePoint now, std::size_t count) {
    rx_free_ = std::max(rx_free_, now) + byte_time_ * static_cast<Duration::rep>(count);
    return rx_free_;
}

void Line::send(TimePoint ready, const std::vector<Piece>& pieces) {
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
}

std::optional<TimePoint> Line::next_due() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

std::vector<std::uint8_t> Line::take_due(TimePoint now) {
    std::vector<std::uint8_t> out;
    while (!queue_.empty() && queue_.front().due <= now) {
        out.insert(out.end(), queue_.front().bytes.begin(), queue_.front().bytes.end());
        queue_.pop_front();
    }
    return out;
}

void Line::clear() {
    queue_.clear();
    rx_free_ = {};
    tx_free_ = {};
}

}  // namespace qm4410::sim
