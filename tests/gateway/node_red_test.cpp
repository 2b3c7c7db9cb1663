// The flow a plant engineer wires in Node-RED (npm node-red: its stock
// runtime and MQTT nodes), run against the broker, the gateway and the farm:
// examples/node-red/key-to-led.json answers every key on any terminal by
// writing that terminal's LED.
#include <gtest/gtest.h>

#include <filesystem>

#include "fixture.hpp"
#include "harness.hpp"

namespace vq6120::gateway::test {
namespace {

class NodeRedTest : public ScratchTest {
protected:
    void SetUp() override {
        need(VQ6120_NODE, "apt-get install nodejs");
        need(kRed, "npm ci in tests/gateway");
    }
    static constexpr const char *kRed = VQ6120_GATEWAY_TESTS "/node_modules/node-red/red.js";
};

// Whether farm terminal `i` comes to show `line` within 10 s.
bool shows(Farm &farm, std::size_t i, const std::string &line) {
    return farm.dump_soon(i, [&](const std::string &d) { return d.find(line + "\n") != std::string::npos; }, 10s);
}

TEST_F(NodeRedTest, StockFlowAnswersEachTerminalsKeyByWritingItsLed) {
    Plant plant(dir, 2);
    const auto gateway = plant.gateway("gw", {"t1", "t2"});

    const auto user = dir.path() / "node-red";
    std::filesystem::create_directories(user);
    std::filesystem::copy_file(VQ6120_EXAMPLES "/node-red/key-to-led.json", user / "flows.json");
    Child red({VQ6120_NODE, kRed, "--settings", VQ6120_GATEWAY_TESTS "/node-red-settings.js", "--userDir", user.string(),
               "flows.json"},
              true, dir.path() / "node-red.log",
              {"MQTT_HOST=127.0.0.1", "MQTT_PORT=" + std::to_string(plant.broker.port())});
    // The runtime loads its nodes first: seconds.
    std::string said;
    const auto limit = std::chrono::steady_clock::now() + 60s;
    for (bool connected = false; !connected;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        const auto line = left.count() > 0 ? red.read_line(left) : std::nullopt;
        ASSERT_TRUE(line) << "Node-RED not connected to the broker after 60 s; it said:\n" << said;
        said += *line + "\n";
        connected = line->find("Connected to broker") != std::string::npos;
    }

    // Its subscription follows the connection: press until the flow answers.
    std::optional<Received> led;
    for (int i = 0; i < 40 && !led; ++i) {
        plant.farm.command(0, "key 5");
        led = plant.client.await_topic(topic("t1", "cmd/led"), 500ms);
    }
    ASSERT_TRUE(led) << "the flow never answered a key; Node-RED said:\n" << said;
    EXPECT_EQ(led->json(), nlohmann::json({{"value", 5}})) << led->payload;
    ASSERT_TRUE(plant.client.await_json(topic("t1", "cmd/result"), "ok", true));
    EXPECT_TRUE(shows(plant.farm, 0, "led 5")) << plant.farm.dump(0);

    // Each terminal's key reaches its own LED; key 0 switches it off.
    plant.farm.command(1, "key 3");
    plant.farm.command(0, "key 0");
    EXPECT_TRUE(shows(plant.farm, 1, "led 3")) << plant.farm.dump(1);
    EXPECT_TRUE(shows(plant.farm, 0, "led 0")) << plant.farm.dump(0);
}

}  // namespace
}  // namespace vq6120::gateway::test
