// The terminal's own text: a 5x7 bitmap font for printable ASCII, drawn in
// 6x8 cells (one blank column on the right, one blank row below). The
// virtual terminal draws its text with it, and the canvas renders terminal
// text with it, so that what the encoder sends as text is what it expects.
#pragma once

#include <cstdint>

namespace vq6120::screen {

inline constexpr int kGlyphWidth = 5;
inline constexpr int kGlyphHeight = 7;
inline constexpr int kCellWidth = 6;
inline constexpr int kCellHeight = 8;

// Whether the glyph of `code` has its pixel at column `col` (0..4), row `row`
// (0..6) set; false anywhere else in the cell. Codes outside 0x20..0x7E are
// shown as a hollow box.
bool glyph_pixel(std::uint8_t code, int col, int row) noexcept;

}  // namespace vq6120::screen
