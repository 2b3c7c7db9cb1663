// Frames as they travel between a host and a terminal, built byte by byte
// for peers that stand in for a terminal (the tests' and the benchmarks').
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <vector>

namespace vq6120::test {

using Bytes = std::vector<std::uint8_t>;

// Builds a frame as the terminal would send it.
Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode, std::span<const std::uint8_t> payload);
inline Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode = 0,
                   std::initializer_list<std::uint8_t> payload = {}) {
    return frame(channel, command, subcode, Bytes(payload));
}
Bytes operator+(Bytes a, const Bytes &b);

}  // namespace vq6120::test
