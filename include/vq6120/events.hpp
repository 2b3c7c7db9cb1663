// vq6120/events.hpp: what a terminal sends, as typed events, and the one
// receive call that makes them. Part of vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "VQ6120_LIB.h"

namespace vq6120 {

// ---- Events ------------------------------------------------------------

// A key press (receive result 3 with a one-byte payload).
struct Key {
    std::uint8_t code = 0;
    friend bool operator==(const Key &, const Key &) = default;
};
// The digital inputs (an input-status answer or an auto report).
struct DigitalInputs {
    bool first = false;
    bool second = false;
    friend bool operator==(const DigitalInputs &, const DigitalInputs &) = default;
};
// The answer to a model-name request.
struct ModelName {
    std::string name;
    friend bool operator==(const ModelName &, const ModelName &) = default;
};
// Bytes the terminal received on serial port 1 or 2.
struct SerialData {
    int port = 1;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const SerialData &, const SerialData &) = default;
};
// Any other delivered frame: `result` is GetDataFromEthernet's result (2 for
// a consumed 0x11 frame, 8 for a 0x10 frame, 3 or 4 when the payload did not
// decode as a key or as inputs), with the payload as received.
struct OtherFrame {
    int result = 0;
    std::vector<std::uint8_t> payload;
    friend bool operator==(const OtherFrame &, const OtherFrame &) = default;
};
using Event = std::variant<Key, DigitalInputs, ModelName, SerialData, OtherFrame>;

namespace detail {

enum class Next { Delivered, Nothing, Closed };

inline Event make_event(std::int32_t result, std::span<const std::uint8_t> p) {
    const auto length = static_cast<std::int32_t>(p.size());
    switch (result) {
    case VQ6120_RECV_FRAME_37:
        if (p.size() == 1) {
            return Key{p[0]};
        }
        break;
    case VQ6120_RECV_DI_STATUS: {
        std::uint8_t first = 0;
        std::uint8_t second = 0;
        if (ParseDIStatus(1, p.data(), length, &first, &second) >= 0) {
            return DigitalInputs{first != 0, second != 0};
        }
        break;
    }
    case VQ6120_RECV_MODEL_NAME:
        return ModelName{std::string(p.begin(), p.end())};
    case VQ6120_RECV_SERIAL_1:
    case VQ6120_RECV_SERIAL_2:
        return SerialData{result == VQ6120_RECV_SERIAL_1 ? 1 : 2, {p.begin(), p.end()}};
    default:
        break;
    }
    return OtherFrame{result, {p.begin(), p.end()}};
}

// One GetDataFromEthernet call without waiting.
inline Next next_event(VQ6120_HANDLE h, std::optional<Event> &out) {
    std::array<std::uint8_t, VQ6120_MAX_RECEIVE_FRAME> buffer;
    std::int32_t length = static_cast<std::int32_t>(buffer.size());
    const std::int32_t r = GetDataFromEthernet(h, buffer.data(), &length, 0);
    if (r == VQ6120_RECV_CLOSED) {
        return Next::Closed;
    }
    if (r == VQ6120_RECV_NOTHING) {
        return Next::Nothing;
    }
    const std::size_t n = r == VQ6120_RECV_CONSUMED ? 0 : static_cast<std::size_t>(std::max(length, 0));
    out = make_event(r, std::span<const std::uint8_t>(buffer.data(), n));
    return Next::Delivered;
}

}  // namespace detail

}  // namespace vq6120
