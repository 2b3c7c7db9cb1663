#include "session/frame_log.hpp"

#include <algorithm>
#include <cstdio>

#include "model/terminal.hpp"

namespace vq6120::sim {
namespace {

std::string hex_bytes(std::span<const std::uint8_t> p, std::size_t limit = 24) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < p.size() && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
        s += buf;
    }
    if (p.size() > limit) {
        s += " ...";
    }
    return s;
}

std::string printable(std::span<const std::uint8_t> p, std::size_t limit = 48) {
    std::string s = "\"";
    for (std::size_t i = 0; i < p.size() && i < limit; ++i) {
        s += (p[i] >= 0x20 && p[i] <= 0x7E) ? static_cast<char>(p[i]) : '.';
    }
    return s + (p.size() > limit ? "\"..." : "\"");
}

}  // namespace

const char *command_name(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode) {
    if (channel == channel::kSerial1 || channel == channel::kSerial2) {
        return command == 0x00 ? "serial data" : command == 0x01 ? "serial configure" : "serial ?";
    }
    if (channel != channel::kTerminal) {
        return "?";
    }
    switch (command) {
    case 0x00: return "model name";
    case 0x09: return "write outputs";
    case 0x0A: return "input status";
    case 0x0B: return "beeper";
    case 0x0C: return "led";
    case 0x0D: return "backlight";
    case 0x11: return "auto report";
    case 0x12: return subcode == 1 ? "host alive signal" : "host alive check";
    case 0x30: return "clear keyboard display";
    case 0x37: return "key";
    case 0x40: return "clear graphic screen";
    case 0x43: return "pixel";
    case 0x47: return "line";
    case 0x48: return "rectangle";
    case 0x49: return "circle";
    case 0x4A: return "ellipse";
    case 0x4B: return "rhombus";
    case 0x4C: return "filled rectangle";
    case 0x4D: return "filled circle";
    case 0x4E: return "filled ellipse";
    case 0x50: return "graphic text";
    case 0x60: return "clear text screen";
    case 0x61: return "write text";
    case 0x62: return "write keyboard display";
    case 0x65: return "text cursor";
    case 0x67: return "scroll text screen";
    case 0x68: return "scroll keyboard display";
    default: return "?";
    }
}

std::string describe(const char *arrow, std::uint8_t ch, std::uint8_t command, std::uint8_t subcode,
                     std::span<const std::uint8_t> p) {
    char head[128];
    std::snprintf(head, sizeof head, "%s %s: ch 0x%02X cmd 0x%02X sub %u len %zu", arrow,
                  command_name(ch, command, subcode), ch, command, subcode, p.size() + kHeaderSize);
    std::string s = head;
    if (p.empty()) {
        return s;
    }
    s += " [" + hex_bytes(p) + "]";
    const bool coordinates = ch == channel::kTerminal && ((command >= 0x43 && command <= 0x50) || command == 0x65);
    if (coordinates) {
        const std::size_t n = command == 0x50 ? std::min<std::size_t>(p.size(), 4) : p.size();
        s += " (";
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            s += i ? ", " : "";
            s += std::to_string(static_cast<std::int16_t>(get_be16(p.data() + i)));
        }
        s += ")";
        if (command == 0x50 && p.size() > 4) {
            s += ' ';  // appended apart: g++ 12 -O3 misreads `" " + string` (-Wrestrict)
            s += printable(p.subspan(4));
        }
    } else if (command == 0x61 || command == 0x62 || command == 0x00 || ch != channel::kTerminal) {
        s += ' ';
        s += printable(p);
    }
    return s;
}

}  // namespace vq6120::sim
