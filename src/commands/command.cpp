#include "command.hpp"

#include <array>
#include <cstring>

#include "../transport/connection.hpp"

namespace vq6120::commands {
namespace {

// The most 16-bit values a command carries (a line, a rectangle, an ellipse).
constexpr std::size_t kMaxValues = 4;

bool all_admitted(std::initializer_list<Value> values) noexcept {
    if (values.size() > kMaxValues) {
        return false;
    }
    for (const Value &v : values) {
        if (!v.bounds.admits(v.value)) {
            return false;
        }
    }
    return true;
}

std::size_t put_values(std::uint8_t *out, std::initializer_list<Value> values) noexcept {
    std::size_t n = 0;
    for (const Value &v : values) {
        put_be16(out + n, static_cast<std::uint16_t>(v.value));
        n += 2;
    }
    return n;
}

}  // namespace

std::int32_t send_frame(VQ6120_HANDLE handle, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                        std::span<const std::uint8_t> payload) noexcept {
    return handle == nullptr ? 0 : transmit(*handle, channel, command, subcode, payload);
}

std::int32_t send_values(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                         std::initializer_list<Value> values) noexcept {
    if (!all_admitted(values)) {
        return 0;
    }
    std::array<std::uint8_t, kMaxValues * 2> payload;
    const std::size_t n = put_values(payload.data(), values);
    return send_frame(handle, channel::kTerminal, command, subcode, std::span(payload).first(n));
}

std::int32_t send_text(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                       std::initializer_list<Value> position, const char *text, std::int32_t text_length) noexcept {
    if (!all_admitted(position) || text == nullptr || !kTextRun.admits(text_length)) {
        return 0;
    }
    std::array<std::uint8_t, kMaxValues * 2 + kTextRun.hi> payload;
    std::size_t n = put_values(payload.data(), position);
    std::memcpy(payload.data() + n, text, static_cast<std::size_t>(text_length));
    n += static_cast<std::size_t>(text_length);
    return send_frame(handle, channel::kTerminal, command, subcode, std::span(payload).first(n));
}

std::int32_t send_bytes(VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                        std::initializer_list<std::uint8_t> bytes) noexcept {
    return send_frame(handle, channel::kTerminal, command, subcode, {bytes.begin(), bytes.size()});
}

}  // namespace vq6120::commands
