// The text screen (with its cursor) and the keyboard display.
#include "command.hpp"

using namespace vq6120::commands;

namespace {
// One line up or down, as the step byte of a scroll frame.
constexpr std::uint8_t step(std::uint8_t direction) { return direction == 0 ? 0xFF : 0x01; }
}  // namespace

extern "C" {

VQ6120_API int32_t VQ6120_CALL ClearText(VQ6120_HANDLE handle) { return send_bytes(handle, 0x60, 0, {}); }

VQ6120_API int32_t VQ6120_CALL SetScreenCursorPos(VQ6120_HANDLE handle, int16_t x, int16_t y) {
    return send_values(handle, 0x65, 0, {{x, kX}, {y, kY}});
}

VQ6120_API int32_t VQ6120_CALL WriteText(VQ6120_HANDLE handle, const char *text, int32_t textLength, uint8_t flag) {
    if (!kFlag.admits(flag)) return refused(handle);
    return send_text(handle, 0x61, flag, {}, text, textLength);
}

VQ6120_API int32_t VQ6120_CALL ScrolloneLine(VQ6120_HANDLE handle, uint8_t direction) {
    if (!kFlag.admits(direction)) return refused(handle);
    return send_bytes(handle, 0x67, 0, {step(direction)});
}

VQ6120_API int32_t VQ6120_CALL ClearKeyboard(VQ6120_HANDLE handle) { return send_bytes(handle, 0x30, 0, {}); }

VQ6120_API int32_t VQ6120_CALL WriteKeyboardText(VQ6120_HANDLE handle, const char *text, int32_t textLength,
                                                 uint8_t flag) {
    if (!kFlag.admits(flag)) return refused(handle);
    return send_text(handle, 0x62, flag, {}, text, textLength);
}

VQ6120_API int32_t VQ6120_CALL ScrollKeyboardoneLine(VQ6120_HANDLE handle, uint8_t direction) {
    if (!kFlag.admits(direction)) return refused(handle);
    return send_bytes(handle, 0x68, 0, {step(direction)});
}

}  // extern "C"
