#include "frame_codec.hpp"

#include <cstring>

namespace vq6120 {

void encode_header(std::uint8_t *out, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                   std::size_t payload_size) noexcept {
    const auto length = static_cast<std::uint16_t>(kHeaderSize + payload_size);
    out[0] = static_cast<std::uint8_t>(length & 0xFF);
    out[1] = static_cast<std::uint8_t>(length >> 8);
    out[2] = channel;
    out[3] = out[4] = out[5] = 0;
    out[6] = command;
    out[7] = subcode;
}

std::size_t encode_frame(std::span<std::uint8_t> out, std::uint8_t channel, std::uint8_t command,
                         std::uint8_t subcode, std::span<const std::uint8_t> payload) noexcept {
    if (payload.size() > kMaxPayloadSize || out.size() < kHeaderSize + payload.size()) {
        return 0;
    }
    encode_header(out.data(), channel, command, subcode, payload.size());
    if (!payload.empty()) {
        std::memcpy(out.data() + kHeaderSize, payload.data(), payload.size());
    }
    return kHeaderSize + payload.size();
}

}  // namespace vq6120
