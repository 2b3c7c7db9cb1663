// From what the terminal shows to what the host wants, in the fewest bytes
// of the terminal's own graphic commands.
//
// The encoder relies on what the library's interface states of each command
// it sends: clear (every pixel off), pixel, a horizontal or vertical line
// (both end points on), a rectangle in mode 1 (filled, both corners on), and
// text whose glyphs are the terminal's 5 x 7 font in 6 x 8 cells. Nothing in
// the interface turns single pixels off, so a change that must turn any
// pixel off costs a clear and a redraw of the whole screen, unless the
// caller opts into `text_erases_cells`: that the text command writes each
// 6 x 8 cell whole, glyph pixels on and the rest off, as the virtual
// terminal does. Then a run of spaces erases, and text is sent whatever the
// cells showed before.
#pragma once

#include <cstdint>
#include <span>

#include "vq6120/screen/canvas.hpp"

namespace vq6120::screen {

enum class Op : std::uint8_t {
    Clear,      // ClearGraphicScreen
    Pixel,      // DrawPixel(x1, y1)
    Line,       // DrawLine(x1, y1, x2, y2), horizontal or vertical
    Rectangle,  // DrawRectangle(x1, y1, x2, y2, 1): filled
    Text,       // DrawAText(x1, y1, text, length)
};

// One command. Every coordinate is within the interface's ranges (x 0..239,
// y 0..63) and every text 1..40 bytes; `text` points into the encoder's or
// the canvas's memory and lives as long as the call to the sink.
struct Command {
    Op op = Op::Clear;
    std::int16_t x1 = 0, y1 = 0, x2 = 0, y2 = 0;
    const char *text = nullptr;
    std::uint8_t length = 0;
};

// Bytes on the wire of a frame with a payload of that many bytes (the frame
// codec's header and the payload), and of the command's frame.
int frame_bytes(int payload_bytes) noexcept;
int frame_bytes(const Command &command) noexcept;

struct EncodeOptions {
    // Text writes whole 6 x 8 cells (the virtual terminal's behaviour; the
    // interface does not state it). Off by default.
    bool text_erases_cells = false;
};

struct EncodeResult {
    int commands = 0;
    int bytes = 0;
    bool cleared = false;  // the plan starts by clearing the screen
};

// Receives the commands in the order they are to be sent.
using CommandSink = void (*)(void *context, const Command &command) noexcept;

// The commands that turn `shown` into `wanted`, handed to `sink` (may be
// null: the plan is only counted). `texts` are the runs of terminal text
// drawn on `wanted` (Canvas::texts()); a run whose glyphs `wanted` no longer
// shows is drawn with other commands instead.
EncodeResult encode(const Plane &shown, const Plane &wanted, std::span<const TerminalText> texts,
                    const EncodeOptions &options, CommandSink sink, void *context) noexcept;

inline EncodeResult encode(const Canvas &shown, const Canvas &wanted, const EncodeOptions &options,
                           CommandSink sink, void *context) noexcept {
    return encode(shown.plane(), wanted.plane(), wanted.texts(), options, sink, context);
}

}  // namespace vq6120::screen
