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

bool build_values(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                  std::initializer_list<Value> values) noexcept {
    if (handle == nullptr) {
        return false;
    }
    if (!all_admitted(values)) {
        refused(handle);
        return false;
    }
    const std::size_t n = put_values(frame.bytes.data() + kHeaderSize, values);
    encode_header(frame.bytes.data(), channel::kTerminal, command, subcode, n);
    frame.size = kHeaderSize + n;
    return true;
}

bool build_text(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                std::initializer_list<Value> position, const char *text, std::int32_t text_length) noexcept {
    if (handle == nullptr) {
        return false;
    }
    if (!all_admitted(position) || text == nullptr || !kTextRun.admits(text_length)) {
        refused(handle);
        return false;
    }
    static_assert(kHeaderSize + kMaxValues * 2 + kTextRun.hi <= kFrameBufferSize);
    std::uint8_t *payload = frame.bytes.data() + kHeaderSize;
    std::size_t n = put_values(payload, position);
    std::memcpy(payload + n, text, static_cast<std::size_t>(text_length));
    n += static_cast<std::size_t>(text_length);
    encode_header(frame.bytes.data(), channel::kTerminal, command, subcode, n);
    frame.size = kHeaderSize + n;
    return true;
}

bool build_bytes(SmallFrame &frame, VQ6120_HANDLE handle, std::uint8_t command, std::uint8_t subcode,
                 std::initializer_list<std::uint8_t> bytes) noexcept {
    if (handle == nullptr) {
        return false;
    }
    if (bytes.size() > kFrameBufferSize - kHeaderSize) {
        refused(handle);
        return false;
    }
    if (bytes.size() != 0) {
        std::memcpy(frame.bytes.data() + kHeaderSize, bytes.begin(), bytes.size());
    }
    encode_header(frame.bytes.data(), channel::kTerminal, command, subcode, bytes.size());
    frame.size = kHeaderSize + bytes.size();
    return true;
}

std::int32_t send_frame(VQ6120_HANDLE handle, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                        std::span<const std::uint8_t> payload) noexcept {
    return handle == nullptr ? 0 : transmit(*handle, channel, command, subcode, payload);
}

}  // namespace vq6120::commands
