// VQ6120Ex_DrawBitmap: a bitmap's set pixels in the fewest bytes of the
// terminal's own commands, sent in one write.
#include "../../include/VQ6120_LIB.h"
#include "../transport/connection.hpp"
#include "vq6120/screen/send.hpp"

using namespace vq6120;
using namespace vq6120::screen;

namespace {

struct Sending {
    VQ6120_HANDLE handle;
    bool refused;
};

void send_counted(void *context, const Command &c) noexcept {
    auto &s = *static_cast<Sending *>(context);
    if (send_to_terminal(s.handle, c) != 1) s.refused = true;
}

}  // namespace

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
    const bool host_batch = handle->route == Route::Batching || handle->route == Route::QueueBatching;
    if (!host_batch && VQ6120Ex_BeginBatch(handle) != 1) {
        return 0;  // a connect not through, or over: recorded by BeginBatch
    }
    Canvas wanted;
    wanted.blit(x, y, width, height, bits, strideBytes, false);
    // Nothing is known to be on: no clear is planned, and no text is given.
    Sending s{handle, false};
    encode(Plane{}, wanted.plane(), {}, EncodeOptions{}, send_counted, &s);
    if (host_batch) {
        return s.refused ? 0 : accept(*handle);
    }
    return VQ6120Ex_EndBatch(handle) == 1 && !s.refused ? 1 : 0;
}
