// Sparkplug B payloads read and written by npm's sparkplug-payload
// (tests/gateway/sparkplug.js), an implementation nobody here wrote.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "harness.hpp"
#include "payloads.hpp"

namespace vq6120::gateway::test {

// node sparkplug.js, one request and answer a line.
class Codec {
public:
    explicit Codec(const ScratchDir &dir)
        : node_({VQ6120_NODE, VQ6120_GATEWAY_TESTS "/sparkplug.js"}, true, dir.path() / "codec.log") {}
    nlohmann::json decode(const std::string &bytes) {
        node_.write("decode " + base64({reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()}) + "\n");
        const auto line = node_.read_line();
        return line ? nlohmann::json::parse(*line, nullptr, false) : nlohmann::json();
    }
    std::string encode(const nlohmann::json &payload) {
        node_.write("encode " + payload.dump() + "\n");
        std::string bytes;
        const auto line = node_.read_line();
        if (!line || !unbase64(*line, bytes)) fail("sparkplug.js cannot encode " + payload.dump() + ": " + line.value_or(""));
        return bytes;
    }

private:
    Child node_;
};

// A metric of a decoded payload by name; null when absent.
inline nlohmann::json metric(const nlohmann::json &payload, const std::string &name) {
    for (const nlohmann::json &m : payload.value("metrics", nlohmann::json::array())) {
        if (m.value("name", "") == name) return m;
    }
    return nullptr;
}

}  // namespace vq6120::gateway::test
