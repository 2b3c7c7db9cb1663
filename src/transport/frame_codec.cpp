#include "frame_codec.hpp"

#include <cstring>

namespace vq6120 {

FrameHeader decode_header(const std::uint8_t *bytes) noexcept {
    FrameHeader h;
    h.length = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    h.channel = bytes[2];
    h.command = bytes[6];
    h.subcode = bytes[7];
    return h;
}

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

FrameCut cut_frame(std::span<const std::uint8_t> stream, std::size_t max_frame) noexcept {
    FrameCut cut;
    if (stream.size() < kHeaderSize) {
        return cut;
    }
    cut.header = decode_header(stream.data());
    if (cut.header.length < kHeaderSize || cut.header.length > max_frame) {
        cut.status = CutStatus::OutOfStep;
        return cut;
    }
    if (cut.header.length > stream.size()) {
        return cut;
    }
    cut.status = CutStatus::Whole;
    cut.frame = stream.first(cut.header.length);
    return cut;
}

}  // namespace vq6120
