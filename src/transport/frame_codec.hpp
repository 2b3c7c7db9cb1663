// The frame codec: builds frames into caller memory and cuts whole frames off
// the front of a byte stream. Pure functions over bytes; shared by the library
// and the virtual terminal, so both ends read and write the wire one way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vq6120 {

inline constexpr std::size_t kHeaderSize = 8;
// The 16-bit length field caps every frame.
inline constexpr std::size_t kMaxFrameSize = 0xFFFF;
inline constexpr std::size_t kMaxPayloadSize = kMaxFrameSize - kHeaderSize;
// Frames from the terminal never exceed this; it is also the receive buffer.
inline constexpr std::size_t kMaxReceiveFrameSize = 32768;

namespace channel {
inline constexpr std::uint8_t kTerminal = 0x40;
inline constexpr std::uint8_t kSerial1 = 0x60;
inline constexpr std::uint8_t kSerial2 = 0x61;
}  // namespace channel

struct FrameHeader {
    std::uint16_t length = 0;
    std::uint8_t channel = 0;
    std::uint8_t command = 0;
    std::uint8_t subcode = 0;
};

// Reads the header fields from the first 8 bytes at `bytes`; reserved bytes
// are ignored.
inline FrameHeader decode_header(const std::uint8_t *bytes) noexcept {
    FrameHeader h;
    h.length = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
    h.channel = bytes[2];
    h.command = bytes[6];
    h.subcode = bytes[7];
    return h;
}

// Writes the 8 header bytes (reserved bytes zero) for a frame with
// `payload_size` payload bytes. The caller keeps payload_size <= kMaxPayloadSize.
void encode_header(std::uint8_t *out, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                   std::size_t payload_size) noexcept;

// Writes a whole frame into `out` and returns its length, or 0 when the
// payload is too large for a frame or `out` too small for it.
std::size_t encode_frame(std::span<std::uint8_t> out, std::uint8_t channel, std::uint8_t command,
                         std::uint8_t subcode, std::span<const std::uint8_t> payload) noexcept;

// A 16-bit value in payload order: high byte first.
inline void put_be16(std::uint8_t *out, std::uint16_t value) noexcept {
    out[0] = static_cast<std::uint8_t>(value >> 8);
    out[1] = static_cast<std::uint8_t>(value & 0xFF);
}
inline std::uint16_t get_be16(const std::uint8_t *in) noexcept {
    return static_cast<std::uint16_t>((in[0] << 8) | in[1]);
}

enum class CutStatus {
    Whole,       // `frame` is a whole frame at the front of the stream
    Incomplete,  // more bytes are needed before the front frame is whole
    OutOfStep,   // the front length field is below 8 or above the limit
};

struct FrameCut {
    CutStatus status = CutStatus::Incomplete;
    FrameHeader header{};
    std::span<const std::uint8_t> frame{};  // header and payload, when Whole

    std::span<const std::uint8_t> payload() const noexcept { return frame.subspan(kHeaderSize); }
};

// Looks at the front of `stream`. A declared length is checked against 8 and
// `max_frame` before it is trusted; bytes are only counted, never copied.
// Inline: the receive path cuts once per frame handed out, and draining a
// burst is mostly this.
inline FrameCut cut_frame(std::span<const std::uint8_t> stream, std::size_t max_frame) noexcept {
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
