// What every terminal command shares: its argument checks, the encoding of
// its payload and the one frame it sends. Each exported command then reads as
// its row of the command table: its checks, its command code, its payload.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>

#include "../../include/VQ6120_LIB.h"
#include "../transport/connection.hpp"

#if defined(_MSC_VER) && !defined(__clang__)
#define VQ6120_FORCE_INLINE __forceinline
#else
#define VQ6120_FORCE_INLINE [[gnu::always_inline]] inline
#endif

namespace vq6120::commands {

struct Bounds {
    int lo;
    int hi;
    constexpr bool admits(long value) const noexcept { return value >= lo && value <= hi; }
};

inline constexpr Bounds kX{0, 239};         // horizontal pixel
inline constexpr Bounds kY{0, 63};          // vertical pixel
inline constexpr Bounds kSize{0, 32};       // circle, ellipse and rhombus sizes
inline constexpr Bounds kFlag{0, 1};        // flags, modes, directions
inline constexpr Bounds kTextRun{1, 240};   // text bytes per command

// A 16-bit payload value and the values it may take.
struct Value {
    std::int16_t value;
    Bounds bounds;
};

// A frame of up to kFrameBufferSize bytes, built in the sending command's
// own stack frame.
struct SmallFrame {
    std::array<std::uint8_t, kFrameBufferSize> bytes;
    std::size_t size = 0;
};

// A call refused for a value out of range: 0, the reason recorded on the
// handle (a null handle records nothing).
inline std::int32_t refused(VQ6120_HANDLE handle) noexcept {
    return handle == nullptr ? 0 : refuse(*handle, VQ6120_REFUSED_ARGUMENT);
}

// The checks and payload encodings. Each builds its frame and returns true,
// or returns false when the call is refused: a null handle or a value out of
// bounds (recorded on the handle).
//
// Terminal-channel frame whose payload is `values` (at most four), each
// big-endian.
bool build_values(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                  std::initializer_list<Value> values) noexcept;
// As build_values with `position`, followed by the text run (1..240 bytes,
// not null).
bool build_text(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                std::initializer_list<Value> position, const char *text, std::int32_t text_length) noexcept;
// Terminal-channel frame whose payload is the raw `bytes`.
bool build_bytes(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                 std::initializer_list<std::uint8_t> bytes) noexcept;

// Hands a built frame to the socket; 1, as every sent command returns (0
// while a connect opened without blocking is not through).
//
// This and the senders below are forced inline so that the socket layer's
// send is called straight from the exported command. Each return that
// crosses the send's system call is mispredicted (the kernel's own calls
// have overwritten the processor's return-address predictor), about 10 ns
// apiece; with three more stack frames between the host and the send, a
// DrawLine cost 7% more than a bare send() of its bytes over loopback.
VQ6120_FORCE_INLINE std::int32_t send_built(VQ6120_HANDLE handle, const SmallFrame &frame) noexcept {
    return send_frame_bytes(*handle, std::span(frame.bytes).first(frame.size));
}

VQ6120_FORCE_INLINE std::int32_t send_values(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                                             std::initializer_list<Value> values) noexcept {
    SmallFrame frame;
    return build_values(frame, handle, command, subcode, values) ? send_built(handle, frame) : 0;
}

VQ6120_FORCE_INLINE std::int32_t send_text(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                                           std::initializer_list<Value> position, const char *text,
                                           std::int32_t text_length) noexcept {
    SmallFrame frame;
    return build_text(frame, handle, command, subcode, position, text, text_length) ? send_built(handle, frame) : 0;
}

VQ6120_FORCE_INLINE std::int32_t send_bytes(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                                            std::initializer_list<std::uint8_t> bytes) noexcept {
    SmallFrame frame;
    return build_bytes(frame, handle, command, subcode, bytes) ? send_built(handle, frame) : 0;
}

// Any frame; refused (0) for a null handle. Used by the serial commands.
std::int32_t send_frame(VQ6120_HANDLE handle, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                        std::span<const std::uint8_t> payload) noexcept;

// The code of a shape drawn in `mode` 0 or 1.
constexpr std::uint8_t by_mode(std::uint8_t mode, std::uint8_t code0, std::uint8_t code1) noexcept {
    return mode == 0 ? code0 : code1;
}

}  // namespace vq6120::commands
