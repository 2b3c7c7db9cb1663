// What the Sparkplug B tests share: payloads read and written by npm's
// sparkplug-payload (sparkplug.js), an implementation nobody here wrote, and
// the topics of the edge node "gw" in group "Plant".
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fixture.hpp"
#include "harness.hpp"
#include "payloads.hpp"

namespace vq6120::gateway::test {

using nlohmann::json;

inline const std::string kNode = "spBv1.0/Plant/";

// node sparkplug.js, one request and answer a line.
class Codec {
public:
    explicit Codec(const ScratchDir &dir)
        : node_({VQ6120_NODE, VQ6120_GATEWAY_TESTS "/sparkplug.js"}, true, dir.path() / "codec.log") {}
    json decode(const std::string &bytes) {
        node_.write("decode " + base64({reinterpret_cast<const std::uint8_t *>(bytes.data()), bytes.size()}) + "\n");
        const auto line = node_.read_line();
        return line ? json::parse(*line, nullptr, false) : json();
    }
    std::string encode(const json &payload) {
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
inline json metric(const json &payload, const std::string &name) {
    for (const json &m : payload.value("metrics", json::array())) {
        if (m.value("name", "") == name) return m;
    }
    return nullptr;
}

// Everything `client` received, decoded: what a failure shows.
inline std::string seen(Client &client, Codec &codec) {
    std::string all;
    for (const Received &r : client.all()) {
        all += r.topic + " " + (r.topic.find("/STATE/") != std::string::npos ? r.payload : codec.decode(r.payload).dump()) +
               "\n";
    }
    return all;
}

inline std::string cmd(const std::string &type, const std::string &device = {}) {
    return kNode + type + "/gw" + (device.empty() ? "" : "/" + device);
}

class SparkplugTest : public ScratchTest {
protected:
    void SetUp() override {
        need(VQ6120_NODE, "apt-get install nodejs");
        need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
    }
};

}  // namespace vq6120::gateway::test
