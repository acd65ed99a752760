// Human-readable renderings of frames for the -v log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qm4410/frame.hpp"

namespace qm4410::sim {

std::string hex(const std::uint8_t* bytes, std::size_t size);
inline std::string hex(const std::vector<std::uint8_t>& bytes) { return hex(bytes.data(), bytes.size()); }

// "set output voltage 5.000 V", "read status", ...
std::string describe_request(const Frame& request);

// The reply to `request`, as the supply meant it (before any fault).
std::string describe_reply(const Frame& request, const Frame& reply);

}  // namespace qm4410::sim
