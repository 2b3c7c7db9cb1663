// The 5x7 font the terminal draws its text with, in 6x8 cells: the library's
// own (include/vq6120/screen/terminal_font.hpp), which the canvas renders with too.
#pragma once

#include "vq6120/screen/terminal_font.hpp"

namespace vq6120::sim {

using screen::glyph_pixel;
using screen::kCellHeight;
using screen::kCellWidth;
using screen::kGlyphHeight;
using screen::kGlyphWidth;

}  // namespace vq6120::sim
