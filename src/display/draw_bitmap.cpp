// VQ6120Ex_DrawBitmap: a bitmap's set pixels in the fewest bytes of the
// terminal's own commands, sent in one write.
#include "../../include/VQ6120_LIB.h"
#include "../transport/connection.hpp"
#include "send.hpp"

using namespace vq6120;
using namespace vq6120::display;

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_DrawBitmap(VQ6120_HANDLE handle, int16_t x, int16_t y,
                                                             int16_t width, int16_t height, const uint8_t *bits,
                                                             int32_t strideBytes) {
    if (handle == nullptr || bits == nullptr || x < 0 || y < 0 || width < 1 || height < 1 ||
        x + width > kWidth || y + height > kHeight || strideBytes < (width + 7) / 8) {
        return 0;
    }
    if (handle->route == Route::Connecting || handle->route == Route::ConnectFailed) {
        return 0;
    }
    Canvas wanted;
    wanted.blit(x, y, width, height, bits, strideBytes, false);
    const bool own_batch = handle->route == Route::Direct;
    if (own_batch) {
        VQ6120Ex_BeginBatch(handle);
    }
    // Nothing is known to be on: no clear is planned, and no text is given.
    encode(Plane{}, wanted.plane(), {}, EncodeOptions{}, send_to_handle, handle);
    return own_batch ? VQ6120Ex_EndBatch(handle) : 1;
}
