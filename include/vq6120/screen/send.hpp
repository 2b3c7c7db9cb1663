// Encoder commands through the library's own C interface, so the bytes on
// the wire are those frame_bytes() counts; and one way to send a finished
// drawing, which the C export, the command-line tool and the gateway share.
#pragma once

#include "VQ6120_LIB.h"
#include "vq6120/screen/encoder.hpp"

namespace vq6120::screen {

// 1 handed over (or batched), 0 refused, as the command's function returns.
inline std::int32_t send_to_terminal(VQ6120_HANDLE handle, const Command &c) noexcept {
    switch (c.op) {
    case Op::Clear: return ClearGraphicScreen(handle);
    case Op::Pixel: return DrawPixel(handle, c.x1, c.y1);
    case Op::Line: return DrawLine(handle, c.x1, c.y1, c.x2, c.y2);
    case Op::Rectangle: return DrawRectangle(handle, c.x1, c.y1, c.x2, c.y2, 1);
    case Op::Text: return DrawAText(handle, c.x1, c.y1, c.text, c.length);
    }
    return 0;
}

// A CommandSink whose context is the handle.
inline void send_to_handle(void *handle, const Command &c) noexcept {
    send_to_terminal(static_cast<VQ6120_HANDLE>(handle), c);
}

// What a drawing sent: its commands and their frames' bytes, a clear
// included, and whether the terminal's interface accepted them all.
struct Sent {
    int commands = 0;
    int bytes = 0;
    bool accepted = true;
};

namespace detail {
struct Sending {
    VQ6120_HANDLE handle;
    Sent sent;
};
inline void send_counted(void *context, const Command &c) noexcept {
    auto &s = *static_cast<Sending *>(context);
    ++s.sent.commands;
    s.sent.bytes += frame_bytes(c);
    if (send_to_terminal(s.handle, c) != 1) s.sent.accepted = false;
}
}  // namespace detail

// A finished drawing sent as one write: a clear first when `clear`, then
// the commands `draw(sink, context)` hands to the sink in order (as encode()
// does). They go into the host's batch when `in_open_batch`, else into one
// of their own, which must begin and end whole (accepted is false when it
// does not; nothing is sent when it cannot begin).
template <class Draw>
Sent send_drawing(VQ6120_HANDLE handle, bool clear, bool in_open_batch, Draw &&draw) noexcept {
    if (!in_open_batch && VQ6120Ex_BeginBatch(handle) != 1) return Sent{0, 0, false};
    detail::Sending s{handle, {}};
    if (clear) detail::send_counted(&s, Command{});
    draw(detail::send_counted, static_cast<void *>(&s));
    if (!in_open_batch && VQ6120Ex_EndBatch(handle) != 1) s.sent.accepted = false;
    return s.sent;
}

}  // namespace vq6120::screen
