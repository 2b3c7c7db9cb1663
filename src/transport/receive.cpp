// Polling for the terminal's traffic and decoding its payloads.
#include "connection.hpp"

using namespace vq6120;

namespace {
constexpr int kWaitMs = 10;
}

extern "C" VQ6120_API int32_t VQ6120_CALL GetDataFromEthernet(VQ6120_HANDLE handle, uint8_t *payloadBuffer,
                                                              int32_t *payloadLength, uint8_t wait) {
    if (payloadLength == nullptr) {
        return recv::kClosed;
    }
    if (handle == nullptr) {
        *payloadLength = 0;
        return recv::kClosed;
    }
    judge_stall_if_due(*handle);
    // Whatever is already buffered goes out first: a burst is drained without
    // a wait or a system call per frame, and frames that arrived before the
    // peer closed are all delivered before the close is reported.
    if (!handle->received.front_is_whole()) {
        if (fill_from_socket(*handle, wait == 1 ? kWaitMs : 0) == Fill::Closed) {
            *payloadLength = 0;
            return recv::kClosed;
        }
    }
    const WalkOutcome outcome = walk_frames(handle->received, payloadBuffer, *payloadLength);
    if (outcome.length_set) {
        *payloadLength = outcome.payload_length;
    }
    return outcome.result;
}

extern "C" VQ6120_API int32_t VQ6120_CALL ParseDIStatus(int32_t valid, const uint8_t *payload, int32_t payloadLength,
                                                        uint8_t *firstInput, uint8_t *secondInput) {
    return parse_di_status(valid, payload, payloadLength, firstInput, secondInput);
}

extern "C" VQ6120_API int32_t VQ6120_CALL ParseKeypadMessage(int32_t valid, const uint8_t *payload,
                                                             int32_t payloadLength) {
    return parse_keypad(valid, payload, payloadLength);
}
