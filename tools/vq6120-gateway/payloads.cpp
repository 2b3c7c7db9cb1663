#include "payloads.hpp"

#include <openssl/evp.h>

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
    std::string out((bytes.size() + 2) / 3 * 4 + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char *>(out.data()), bytes.data(),
                                  static_cast<int>(bytes.size()));
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool unbase64(std::string_view text, std::string &out) {
    out.clear();
    // libcrypto's decoder skips white space and leaves padding bytes in its
    // count: strict standard base64 is checked here, the decoding left to it.
    if (text.size() % 4 != 0) {
        return false;
    }
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    if (text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") <
        text.size() - padding) {
        return false;
    }
    out.resize(text.size() / 4 * 3);
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char *>(out.data()),
                                  reinterpret_cast<const unsigned char *>(text.data()), static_cast<int>(text.size()));
    if (n < 0) {
        return false;
    }
    out.resize(static_cast<std::size_t>(n) - padding);
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

std::string_view event_kind(const vq6120::Event &event) {
    return std::visit(
        [](const auto &e) -> std::string_view {
            using T = std::decay_t<decltype(e)>;
            if constexpr (std::is_same_v<T, vq6120::Key>) return "key";
            if constexpr (std::is_same_v<T, vq6120::DigitalInputs>) return "inputs";
            if constexpr (std::is_same_v<T, vq6120::ModelName>) return "model";
            if constexpr (std::is_same_v<T, vq6120::SerialData>) return "serial";
            return "frame";
        },
        event);
}

std::string state_payload(std::string_view state, std::string_view reason) {
    return dump(json{{"state", state}, {"reason", reason}, {"ts", timestamp()}});
}

}  // namespace vq6120::gateway
