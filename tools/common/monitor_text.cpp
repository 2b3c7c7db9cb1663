#include "monitor_text.hpp"

#include <cstdio>

#include "VQ6120_LIB.h"

namespace vq6120::tools {
namespace {

// The frame each delivering result stands for.
const char *frame_name(int result) {
    switch (result) {
    case VQ6120_RECV_CONSUMED: return "channel 0x40 command 0x11 (consumed)";
    case VQ6120_RECV_FRAME_37: return "channel 0x40 command 0x37 (key)";
    case VQ6120_RECV_DI_STATUS: return "channel 0x40 command 0x0A (digital inputs)";
    case VQ6120_RECV_MODEL_NAME: return "channel 0x40 command 0x00 (model name)";
    case VQ6120_RECV_SERIAL_1: return "channel 0x60 command 0x00 (serial port 1)";
    case VQ6120_RECV_SERIAL_2: return "channel 0x61 command 0x00 (serial port 2)";
    case VQ6120_RECV_FRAME_10: return "channel 0x40 command 0x10";
    default: return "";
    }
}

}  // namespace

std::string monitor_text(int result, std::span<const std::uint8_t> payload) {
    const auto *p = payload.data();
    const auto length = static_cast<std::int32_t>(payload.size());
    std::string s = "result " + std::to_string(result) + ": " + frame_name(result);
    if (result >= VQ6120_RECV_FRAME_37) {
        std::string hex, text;
        char b[4];
        for (std::int32_t i = 0; i < length; ++i) {
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
            hex += b;
            text += (p[i] >= 0x20 && p[i] < 0x7F) ? static_cast<char>(p[i]) : '.';
        }
        s += " length " + std::to_string(length) + " [" + hex + "] \"" + text + "\"";
    }
    std::uint8_t first = 0, second = 0;
    if (result == VQ6120_RECV_DI_STATUS) {
        if (const int value = ParseDIStatus(1, p, length, &first, &second); value >= 0) {
            s += " status " + std::to_string(value) + " input1 " + std::to_string(first) + " input2 " +
                 std::to_string(second >> 1);
        }
    }
    if (result == VQ6120_RECV_FRAME_37 && length == 1) {
        s += " key " + std::to_string(ParseKeypadMessage(1, p, length));
    }
    return s;
}

}  // namespace vq6120::tools
