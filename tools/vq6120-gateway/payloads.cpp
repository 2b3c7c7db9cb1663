#include "payloads.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>

#include <type_traits>
#include <variant>

namespace vq6120::gateway {

using nlohmann::json;

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
    const std::time_t secs = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&secs, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

std::string base64(std::span<const std::uint8_t> bytes) {
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = static_cast<std::uint32_t>(bytes[i]) << 16;
        if (n > 1) v |= static_cast<std::uint32_t>(bytes[i + 1]) << 8;
        if (n > 2) v |= bytes[i + 2];
        for (std::size_t k = 0; k < 4; ++k) out += k <= n ? alphabet[(v >> (18 - 6 * k)) & 0x3F] : '=';
    }
    return out;
}

bool unbase64(std::string_view text, std::string &out) {
    out.clear();
    if (text.size() % 4 != 0) return false;
    std::uint32_t bits = 0;
    int have = 0;
    std::size_t padding = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        int v;
        if (c >= 'A' && c <= 'Z') v = c - 'A';
        else if (c >= 'a' && c <= 'z') v = c - 'a' + 26;
        else if (c >= '0' && c <= '9') v = c - '0' + 52;
        else if (c == '+') v = 62;
        else if (c == '/') v = 63;
        else if (c == '=' && i + 2 >= text.size()) v = -1;
        else return false;
        if (v < 0) {
            ++padding;
            continue;
        }
        if (padding != 0) return false;  // data after padding
        bits = (bits << 6) | static_cast<std::uint32_t>(v);
        if ((have += 6) >= 8) {
            have -= 8;
            out += static_cast<char>((bits >> have) & 0xFF);
        }
    }
    return true;
}

std::string dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

Publication event_payload(const vq6120::Event &event) {
    json j;
    std::string subtopic;
    std::visit(
        [&](const auto &e) {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, vq6120::Key>) {
                subtopic = "key";
                j["key"] = e.code;
            } else if constexpr (std::is_same_v<T, vq6120::DigitalInputs>) {
                subtopic = "inputs";
                j["di1"] = e.first ? 1 : 0;
                j["di2"] = e.second ? 1 : 0;
            } else if constexpr (std::is_same_v<T, vq6120::ModelName>) {
                // The name as text for reading (bytes that are not UTF-8
                // become U+FFFD) and exactly, as base64.
                subtopic = "model";
                j["model"] = e.name;
                j["data"] = base64({reinterpret_cast<const std::uint8_t *>(e.name.data()), e.name.size()});
            } else if constexpr (std::is_same_v<T, vq6120::SerialData>) {
                subtopic = "serial/" + std::to_string(e.port);
                j["data"] = base64(e.bytes);
                j["length"] = e.bytes.size();
            } else {
                // Any other frame, bytes intact, with the library's receive
                // result saying what it was.
                subtopic = "frame";
                j["result"] = e.result;
                j["data"] = base64(e.payload);
            }
        },
        event);
    j["ts"] = timestamp();
    return {subtopic, dump(j)};
}

std::string state_payload(std::string_view state, std::string_view reason) {
    return dump(json{{"state", state}, {"reason", reason}, {"ts", timestamp()}});
}

}  // namespace vq6120::gateway
