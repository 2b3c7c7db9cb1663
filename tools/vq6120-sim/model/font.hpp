// The 5x7 font the terminal draws its text with, in 6x8 cells: the library's
// own (include/vq6120/screen/terminal_font.hpp), which the canvas renders with too.
#pragma once

#include "vq6120/screen/terminal_font.hpp"

namespace vq6120::sim {

using display::glyph_pixel;
using display::kCellHeight;
using display::kCellWidth;
using display::kGlyphHeight;
using display::kGlyphWidth;

}  // namespace vq6120::sim
