// Inside the display layer: the two decoders (PNG through libspng, PNM by
// our own parser) and the arithmetic they share, from samples to 8-bit grey.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "vq6120/display/render.hpp"

namespace vq6120::display::picture {

// A sample of a depth whose largest value is `max` as a level 0..255,
// rounded to nearest.
inline int level8(std::uint32_t sample, std::uint32_t max) noexcept {
    return static_cast<int>((static_cast<std::uint64_t>(sample) * 255 + max / 2) / max);
}

// The grey of a pixel (levels 0..255) laid over white by its alpha.
inline std::uint8_t grey_over_white(int r, int g, int b, int a) noexcept {
    const int y = (299 * r + 587 * g + 114 * b + 500) / 1000;
    return static_cast<std::uint8_t>((y * a + 255 * (255 - a) + 127) / 255);
}

// Whether width x height is within the limits; else false with the reason
// (naming the size and the limits) in `error`.
bool size_taken(std::uint64_t width, std::uint64_t height, std::string &error);

// The picture, or empty (width 0) with the reason in `error`. Both expect
// the bytes to start with their format's signature.
GreyImage decode_png(const std::uint8_t *bytes, std::size_t size, std::string &error);
GreyImage decode_pnm(const std::uint8_t *bytes, std::size_t size, std::string &error);

}  // namespace vq6120::display::picture
