// The graphic screen: clear, pixels, lines, shapes and text at pixel
// positions.
#include "command.hpp"

using namespace vq6120::commands;

extern "C" {

VQ6120_API int32_t VQ6120_CALL ClearGraphicScreen(VQ6120_HANDLE handle) {
    return send_values(handle, 0x40, 0, {});
}

VQ6120_API int32_t VQ6120_CALL DrawPixel(VQ6120_HANDLE handle, int16_t x, int16_t y) {
    return send_values(handle, 0x43, 0, {{x, kX}, {y, kY}});
}

VQ6120_API int32_t VQ6120_CALL DrawLine(VQ6120_HANDLE handle, int16_t x1, int16_t y1, int16_t x2, int16_t y2) {
    return send_values(handle, 0x47, 0, {{x1, kX}, {y1, kY}, {x2, kX}, {y2, kY}});
}

VQ6120_API int32_t VQ6120_CALL DrawRectangle(VQ6120_HANDLE handle, int16_t x1, int16_t y1, int16_t x2, int16_t y2,
                                             uint8_t mode) {
    if (!kFlag.admits(mode)) return refused(handle);
    return send_values(handle, by_mode(mode, 0x48, 0x4C), 0, {{x1, kX}, {y1, kY}, {x2, kX}, {y2, kY}});
}

VQ6120_API int32_t VQ6120_CALL DrawCircle(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t size, uint8_t mode) {
    if (!kFlag.admits(mode)) return refused(handle);
    return send_values(handle, by_mode(mode, 0x49, 0x4D), 0, {{x, kX}, {y, kY}, {size, kSize}});
}

VQ6120_API int32_t VQ6120_CALL DrawEllipse(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t sizeA, int16_t sizeB,
                                           uint8_t mode) {
    if (!kFlag.admits(mode)) return refused(handle);
    return send_values(handle, by_mode(mode, 0x4A, 0x4E), 0, {{x, kX}, {y, kY}, {sizeA, kSize}, {sizeB, kSize}});
}

VQ6120_API int32_t VQ6120_CALL DrawRhombus(VQ6120_HANDLE handle, int16_t x, int16_t y, int16_t sizeA, int16_t sizeB) {
    return send_values(handle, 0x4B, 0, {{x, kX}, {y, kY}, {sizeA, kSize}, {sizeB, kSize}});
}

VQ6120_API int32_t VQ6120_CALL DrawAText(VQ6120_HANDLE handle, int16_t x, int16_t y, const char *text,
                                         int32_t textLength) {
    return send_text(handle, 0x50, 0, {{x, kX}, {y, kY}}, text, textLength);
}

}  // extern "C"
