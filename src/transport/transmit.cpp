#include <array>
#include <memory>
#include <new>

#include "connection.hpp"

namespace vq6120 {

std::int32_t transmit(Connection &c, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                      std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() > kMaxPayloadSize) {
        return 0;
    }
    const std::size_t size = kHeaderSize + payload.size();
    std::array<std::uint8_t, kFrameBufferSize> small;
    std::unique_ptr<std::uint8_t[]> large;
    std::span<std::uint8_t> frame{small};
    if (size > small.size()) {
        large.reset(new (std::nothrow) std::uint8_t[size]);
        if (!large) {
            return 0;
        }
        frame = {large.get(), size};
    }
    encode_frame(frame, channel, command, subcode, payload);
    return send_frame_bytes(c, frame.first(size));
}

}  // namespace vq6120

extern "C" VQ6120_API int32_t VQ6120_CALL SendData(VQ6120_HANDLE handle, uint8_t channel, uint8_t command,
                                                   uint8_t subcode, const uint8_t *data, uint32_t dataLength) {
    if (handle == nullptr || (data == nullptr && dataLength > 0) || dataLength > vq6120::kMaxPayloadSize) {
        return 0;
    }
    return vq6120::transmit(*handle, channel, command, subcode, {data, dataLength});
}
