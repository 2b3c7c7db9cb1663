// An encoder command through the library's own C interface, so the bytes on
// the wire are those frame_bytes() counts.
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

}  // namespace vq6120::screen
