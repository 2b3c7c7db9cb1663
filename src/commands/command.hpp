// What every terminal command shares: its argument checks, the encoding of
// its payload and the one frame it sends. Each exported command then reads as
// its row of the command table: its checks, its command code, its payload.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>

#include "../../include/VQ6120_LIB.h"

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

// Terminal-channel frame whose payload is `values` (at most four), each
// big-endian. Refused (0) for a null handle or any value out of bounds.
std::int32_t send_values(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                         std::initializer_list<Value> values) noexcept;
// As send_values with `position`, followed by the text run (1..240 bytes,
// not null).
std::int32_t send_text(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                       std::initializer_list<Value> position, const char *text, std::int32_t text_length) noexcept;

// Terminal-channel frame whose payload is the raw `bytes`. Refused (0) for a
// null handle.
std::int32_t send_bytes(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                        std::initializer_list<std::uint8_t> bytes) noexcept;

// Any frame; refused (0) for a null handle. Used by the serial commands.
std::int32_t send_frame(VQ6120_HANDLE handle, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                        std::span<const std::uint8_t> payload) noexcept;

// The code of a shape drawn in `mode` 0 or 1.
constexpr std::uint8_t by_mode(std::uint8_t mode, std::uint8_t code0, std::uint8_t code1) noexcept {
    return mode == 0 ? code0 : code1;
}

}  // namespace vq6120::commands
