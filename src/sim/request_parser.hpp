// Splits the byte stream from the line into request frames. Knows nothing of
// time or of the pty, so a fuzzer can drive it with plain buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "qm4410/frame.hpp"

namespace qm4410::sim {

struct Parsed {
    std::vector<Frame> frames;          // valid requests, in arrival order
    std::vector<std::size_t> ends;      // for each, the bytes of this feed it took to complete it
    std::vector<std::uint8_t> dropped;  // bytes thrown away while searching
};

class RequestParser {
public:
    Parsed feed(const std::uint8_t* bytes, std::size_t size);

    // Forgets an unfinished frame (the client left, or went quiet mid-frame).
    // Returns the bytes forgotten.
    std::vector<std::uint8_t> reset();

    std::size_t pending() const { return buffer_.size(); }

private:
    std::vector<std::uint8_t> buffer_;
};

}  // namespace qm4410::sim
