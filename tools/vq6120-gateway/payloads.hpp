// What the gateway publishes, as JSON: every payload is an object with a
// "ts" (UTC, RFC 3339 with milliseconds). Bytes from a terminal travel as
// base64, so any byte value survives; text that is not UTF-8 is never handed
// to the JSON writer as it is.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "vq6120.hpp"

namespace vq6120::gateway {

std::string timestamp();
std::string base64(std::span<const std::uint8_t> bytes);
// Standard base64 with padding; false (and `out` unspecified) when `text` is
// not that.
bool unbase64(std::string_view text, std::string &out);

// A JSON text that never throws on bytes that are not UTF-8 (they become
// U+FFFD).
std::string dump(const nlohmann::json &j);

// A terminal's event as the subtopic it goes to (below the terminal's topic)
// and its payload.
struct Publication {
    std::string subtopic;
    std::string payload;
};
Publication event_payload(const vq6120::Event &event);
// The event's kind as the metrics count it: key, inputs, serial, model, frame.
std::string_view event_kind(const vq6120::Event &event);

std::string state_payload(std::string_view state, std::string_view reason);

}  // namespace vq6120::gateway
