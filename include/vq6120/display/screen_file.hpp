// Canvases as text files, for reference screens and expected pictures: one
// line per terminal text run, `text X Y CHARACTERS` (the characters to the
// end of the line), then 64 lines of 240 characters, '#' on and '.' off, as
// the simulator's dump draws the screen. Lines starting with '//' are notes.
#pragma once

#include <string>

#include "vq6120/screen/canvas.hpp"

namespace vq6120::display {

// False with the reason in `error` when the file cannot be read or is not
// such a file.
bool read_screen(const std::string &path, screen::Canvas &canvas, std::string *error = nullptr);
bool write_screen(const std::string &path, const screen::Canvas &canvas, const std::string &note = {});

}  // namespace vq6120::display
