// The gateway as a Sparkplug B edge node, read and commanded through npm's
// sparkplug-payload (tests/gateway/sparkplug.js), an implementation nobody
// here wrote: births and deaths, sequence numbers, rebirth, writes reaching
// the terminal, and payloads that are not protobuf.
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "codec.hpp"
#include "fixture.hpp"
#include "harness.hpp"
#include "payloads.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;

const std::string kNode = "spBv1.0/Plant/";

// Everything `client` received, decoded: what a failure shows.
std::string seen(Client &client, Codec &codec) {
    std::string all;
    for (const Received &r : client.all()) all += r.topic + " " + codec.decode(r.payload).dump() + "\n";
    return all;
}

std::string cmd(const std::string &type, const std::string &device = {}) {
    return kNode + type + "/gw" + (device.empty() ? "" : "/" + device);
}

class SparkplugTest : public ScratchTest {
protected:
    void SetUp() override {
        need(VQ6120_NODE, "apt-get install nodejs");
        need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
    }
};

TEST_F(SparkplugTest, BirthsDeathsSequenceRebirthAndWritesAsAnotherImplementationSeesThem) {
    BrokerOptions persistent;  // the subscriber's session and its queue outlive the broker's restart
    persistent.persistent = true;
    Broker broker(dir, persistent);
    Farm farm(dir, 2);
    Codec codec(dir);
    Client client(broker.port(), "scada", User{}, true);
    client.subscribe("spBv1.0/#");
    json config = test_config(broker.port(), "gw", {{"t1", farm.port(0)}, {"t2", farm.port(1)}});
    config["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
    auto gateway = std::make_unique<GatewayProcess>(dir, config);

    // NBIRTH: seq 0, bdSeq, the rebirth control; DBIRTH: every metric with its type.
    const auto nbirth = client.await_topic(cmd("NBIRTH"));
    ASSERT_TRUE(nbirth);
    const json nb = codec.decode(nbirth->payload);
    EXPECT_EQ(nb["seq"], 0) << nb.dump();
    EXPECT_EQ(metric(nb, "bdSeq")["value"], 0) << nb.dump();
    EXPECT_EQ(metric(nb, "Node Control/Rebirth")["type"], "Boolean") << nb.dump();
    for (const char *t : {"t1", "t2"}) {
        const auto birth = client.await_topic(cmd("DBIRTH", t));
        ASSERT_TRUE(birth) << t;
        const json db = codec.decode(birth->payload);
        EXPECT_EQ(db["metrics"].size(), 13u) << db.dump();
        const std::pair<const char *, const char *> types[] = {{"Inputs/DI1", "Boolean"}, {"Last Key", "UInt32"},
                                                               {"Serial/1", "Bytes"},     {"Model", "String"},
                                                               {"Outputs/DO2", "Boolean"}, {"LED", "UInt32"},
                                                               {"Text", "String"}};
        for (const auto &[name, type] : types) EXPECT_EQ(metric(db, name)["type"], type) << name << " " << db.dump();
        EXPECT_EQ(metric(db, "State")["value"], "online");
    }

    // Events as DDATA; a DCMD writing an output and the LED reaches the terminal.
    farm.command(0, "key 5");
    ASSERT_TRUE(client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(codec.decode(r.payload), "Last Key")["value"] == 5;
    })) << seen(client, codec);
    client.publish(cmd("DCMD", "t1"), codec.encode({{"metrics",
                                                     {{{"name", "Outputs/DO2"}, {"type", "Boolean"}, {"value", true}},
                                                      {{"name", "LED"}, {"type", "UInt32"}, {"value", 7}}}}}));
    ASSERT_TRUE(client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(codec.decode(r.payload), "LED")["value"] == 7;
    })) << seen(client, codec);
    const std::string dump = farm.dump(0);
    EXPECT_NE(dump.find("digital outputs 0 1"), std::string::npos) << dump;
    EXPECT_NE(dump.find("led 7"), std::string::npos) << dump;

    // Not protobuf, not writable, out of range: nothing reaches the terminal, nothing breaks.
    client.publish(cmd("DCMD", "t1"), std::string("\xff\x01garbage", 9));
    client.publish(cmd("NCMD"), std::string("\x0a\xff\xff\xff", 4));
    client.publish(cmd("DCMD", "t1"), codec.encode({{"metrics", {{{"name", "Model"}, {"type", "String"}, {"value", "x"}}}}}));
    client.publish(cmd("DCMD", "t1"), codec.encode({{"metrics", {{{"name", "LED"}, {"type", "UInt32"}, {"value", 300}}}}}));
    farm.command(0, "key 6");
    ASSERT_TRUE(client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(codec.decode(r.payload), "Last Key")["value"] == 6;
    }));
    EXPECT_EQ(farm.dump(0), dump);

    // A terminal's loss: DDEATH, then DBIRTH when it is back.
    client.clear();
    farm.command(1, "restart 500ms");
    EXPECT_TRUE(client.await_topic(cmd("DDEATH", "t2")));
    EXPECT_TRUE(client.await_topic(cmd("DBIRTH", "t2")));

    // Rebirth on request; then enough events for seq to wrap; every message
    // but NDEATH one more than the last, modulo 256, NBIRTH starting at 0.
    client.publish(cmd("NCMD"),
                   codec.encode({{"metrics", {{{"name", "Node Control/Rebirth"}, {"type", "Boolean"}, {"value", true}}}}}));
    ASSERT_TRUE(client.await_topic(cmd("NBIRTH")));
    for (int i = 0; i < 270; ++i) farm.command(0, "key " + std::to_string(i % 200));
    farm.command(0, "key 250");  // the last, and no other like it
    ASSERT_TRUE(client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(codec.decode(r.payload), "Last Key")["value"] == 250;
    }));
    int last = -1, wraps = 0;
    for (const Received &r : client.all()) {
        if (r.topic.find("CMD/") != std::string::npos) continue;  // the test's own
        const json p = codec.decode(r.payload);
        const int seq = p.value("seq", -1);
        if (r.topic == cmd("NBIRTH")) {
            EXPECT_EQ(seq, 0);
        } else if (last >= 0) {
            EXPECT_EQ(seq, (last + 1) % 256) << r.topic;
        }
        wraps += last == 255 && seq == 0;
        last = seq;
    }
    EXPECT_GE(wraps, 1);

    // The broker restarted: a new session, bdSeq 1, births again. Then the
    // gateway killed: the broker publishes NDEATH with that bdSeq.
    client.clear();
    broker.stop();
    broker.start();
    const auto again = client.await_topic(cmd("NBIRTH"), 15s);
    ASSERT_TRUE(again);
    EXPECT_EQ(metric(codec.decode(again->payload), "bdSeq")["value"], 1);
    EXPECT_TRUE(client.await_topic(cmd("DBIRTH", "t1")));
    gateway->stop(SIGKILL);
    const auto death = client.await([&](const Received &r) {
        return r.topic == cmd("NDEATH") && metric(codec.decode(r.payload), "bdSeq")["value"] == 1;
    });
    ASSERT_TRUE(death);
    const json nd = codec.decode(death->payload);
    EXPECT_FALSE(nd.contains("seq") && !nd["seq"].is_null()) << nd.dump();
}

}  // namespace
}  // namespace vq6120::gateway::test
