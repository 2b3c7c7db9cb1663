#include "frame_text.hpp"

#include <cstdio>

namespace vq6120::text {
namespace {

struct Known {
    std::uint8_t channel, command;
    const char *what;
};
constexpr Known kKnown[] = {
    {0x40, 0x11, "consumed"},   {0x40, 0x37, "key"},           {0x40, 0x0A, "digital inputs"},
    {0x40, 0x00, "model name"}, {0x60, 0x00, "serial port 1"}, {0x61, 0x00, "serial port 2"},
};

// Receive results 2..8 in order, as the library numbers them.
constexpr struct {
    std::uint8_t channel, command;
} kResults[] = {{0x40, 0x11}, {0x40, 0x37}, {0x40, 0x0A}, {0x40, 0x00}, {0x60, 0x00}, {0x61, 0x00}, {0x40, 0x10}};
constexpr int kFirstResult = 2;

std::string format(const char *f, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, f, a, b, c);
    return buffer;
}

}  // namespace

std::string terminal_frame(std::uint8_t channel, std::uint8_t command, std::span<const std::uint8_t> payload,
                           bool with_payload) {
    std::string s = format("channel 0x%02X command 0x%02X", channel, command);
    for (const Known &k : kKnown) {
        if (k.channel == channel && k.command == command) s += std::string(" (") + k.what + ")";
    }
    if (!with_payload) return s;
    s += " length " + std::to_string(payload.size()) + " [";
    for (std::size_t i = 0; i < payload.size(); ++i) s += format(i ? " %02X" : "%02X", payload[i]);
    s += "] \"";
    for (const std::uint8_t b : payload) s += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
    s += "\"";
    // Two ASCII digits: the status, then the inputs as bits 0 and 1.
    if (channel == 0x40 && command == 0x0A && payload.size() == 2) {
        const unsigned bits = static_cast<std::uint8_t>(payload[1] - '0');
        s += format(" status %u input1 %u input2 %u", static_cast<std::uint8_t>(payload[0] - '0'), bits & 1u,
                    (bits >> 1) & 1u);
    }
    if (channel == 0x40 && command == 0x37 && payload.size() == 1) s += format(" key %u", payload[0]);
    return s;
}

std::string receive_result(int result, std::span<const std::uint8_t> payload) {
    const int index = result - kFirstResult;
    if (index < 0 || index >= static_cast<int>(std::size(kResults))) return {};
    const auto &r = kResults[index];
    // The consumed frame's payload is not handed out.
    return "result " + std::to_string(result) + ": " +
           terminal_frame(r.channel, r.command, payload, result != kFirstResult);
}

}  // namespace vq6120::text
