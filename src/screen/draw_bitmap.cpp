// VQ6120Ex_DrawBitmap: a bitmap's set pixels in the fewest bytes of the
// terminal's own commands, sent in one write.
#include "../../include/VQ6120_LIB.h"
#include "../transport/handle.hpp"
#include "vq6120/screen/send.hpp"

using namespace vq6120;
using namespace vq6120::screen;

extern "C" VQ6120_API int32_t VQ6120_CALL VQ6120Ex_DrawBitmap(VQ6120_HANDLE handle, int16_t x, int16_t y,
                                                             int16_t width, int16_t height, const uint8_t *bits,
                                                             int32_t strideBytes) {
    if (handle == nullptr) {
        return 0;
    }
    if (bits == nullptr || x < 0 || y < 0 || width < 1 || height < 1 || x + width > kWidth || y + height > kHeight ||
        strideBytes < (width + 7) / 8) {
        return refuse(*handle, VQ6120_REFUSED_ARGUMENT);
    }
    // The host's open batch takes the commands; otherwise one of our own
    // makes them one write (or one queued whole, in the queued mode).
    const bool host_batch = handle->batch_open;
    // (A batch that cannot begin, a connect not through or over, is
    // recorded by BeginBatch.)
    Canvas wanted;
    wanted.blit(x, y, width, height, bits, strideBytes, false);
    // Nothing is known to be on: no clear is planned, and no text is given.
    const Sent sent = send_drawing(handle, false, host_batch, [&wanted](CommandSink sink, void *context) noexcept {
        encode(Plane{}, wanted.plane(), {}, EncodeOptions{}, sink, context);
    });
    if (host_batch) {
        return sent.accepted ? accept(*handle) : 0;
    }
    return sent.accepted ? 1 : 0;
}
