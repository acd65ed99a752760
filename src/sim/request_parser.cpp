#include "request_parser.hpp"

#include <algorithm>

namespace qm4410::sim {

Parsed RequestParser::feed(const std::uint8_t* bytes, std::size_t size) {
    const std::size_t held_before = buffer_.size();
    buffer_.insert(buffer_.end(), bytes, bytes + size);
    Parsed out;
    std::size_t start = 0;
    for (;;) {
        const auto next_start =
            std::find(buffer_.begin() + static_cast<std::ptrdiff_t>(start), buffer_.end(), kStartByte);
        const auto skip = static_cast<std::size_t>(next_start - buffer_.begin());
        out.dropped.insert(out.dropped.end(), buffer_.begin() + static_cast<std::ptrdiff_t>(start), next_start);
        start = skip;
        if (buffer_.size() - start < kFrameLength) break;
        const std::uint8_t* candidate = buffer_.data() + start;
        if (is_valid_frame(candidate, kFrameLength)) {
            Frame frame;
            std::copy(candidate, candidate + kFrameLength, frame.begin());
            out.frames.push_back(frame);
            start += kFrameLength;
            out.ends.push_back(start - held_before);
        } else {
            // Only this start byte is known to be wrong: a real frame may
            // begin at any later 0xAA inside the candidate.
            out.dropped.push_back(buffer_[start]);
            start += 1;
        }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start));
    return out;
}

std::vector<std::uint8_t> RequestParser::reset() {
    std::vector<std::uint8_t> forgotten;
    forgotten.swap(buffer_);
    return forgotten;
}

}  // namespace qm4410::sim
