#include <array>

#include "connection.hpp"
#include "memory.hpp"

namespace vq6120 {

std::int32_t transmit(Connection &c, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                      std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() > kMaxPayloadSize) {
        return refuse(c, VQ6120_REFUSED_ARGUMENT);
    }
    const std::size_t size = kHeaderSize + payload.size();
    std::array<std::uint8_t, kFrameBufferSize> small;
    std::span<std::uint8_t> frame{small};
    void *large = nullptr;
    if (size > small.size()) {
        large = memory::allocate(size);
        if (large == nullptr) {
            return refuse(c, VQ6120_REFUSED_MEMORY);
        }
        frame = {static_cast<std::uint8_t *>(large), size};
    }
    encode_frame(frame, channel, command, subcode, payload);
    const std::int32_t handed_over = send_frame_bytes(c, frame.first(size));
    memory::release(large);
    return handed_over;
}

}  // namespace vq6120

extern "C" VQ6120_API int32_t VQ6120_CALL SendData(VQ6120_HANDLE handle, uint8_t channel, uint8_t command,
                                                   uint8_t subcode, const uint8_t *data, uint32_t dataLength) {
    if (handle == nullptr) {
        return 0;
    }
    if ((data == nullptr && dataLength > 0) || dataLength > vq6120::kMaxPayloadSize) {
        return vq6120::refuse(*handle, VQ6120_REFUSED_ARGUMENT);
    }
    return vq6120::transmit(*handle, channel, command, subcode, {data, dataLength});
}
