// The fuzzers' reference for reading the terminal's stream, written from the
// wire description and independently of the library's receive code.
#pragma once

#include <cstddef>
#include <cstdint>

// The receive result after a frame with this header, given the result so far
// in the same call.
inline std::int32_t reference_result(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                                     std::int32_t current) {
    if (channel == 0x40) {
        if (command == 0x00) return 5;
        if (command == 0x0A) return 4;
        if (command == 0x10) return 8;
        if (command == 0x11) return 2;
        if (command == 0x37) return 3;
        return current;
    }
    if (channel == 0x60) return (command == 0 && subcode == 0) ? 6 : current;
    if (channel == 0x61) return command == 0 ? 7 : current;
    return 0;
}

// The little-endian length field of the frame starting at `p`.
inline std::size_t length_at(const std::uint8_t *p) { return std::size_t{p[0]} | (std::size_t{p[1]} << 8); }
