// Values as they stand now: inputs reported by exception in both modes, births
// that hold the terminal's own answers and nothing from before its last
// connection, outputs never switched on from a stale value, a death at the
// loss itself, and a report time of 0 that switches reporting off.
#include <signal.h>

#include <gtest/gtest.h>

#include <thread>

#include "fixture.hpp"
#include "harness.hpp"
#include "sparkplug_codec.hpp"

namespace vq6120::gateway::test {
namespace {

constexpr const char *kUnchanged = "vq6120_gateway_events_unchanged_total";

// Scrapes until `name` is at least `value`: counts events, not time.
double scrape_at_least(std::uint16_t port, const std::string &name, double value) {
    double now = 0;
    for (int i = 0; i < 600 && (now = scrape(port)[name]) < value; ++i) std::this_thread::sleep_for(50ms);
    return now;
}

// A broker, a farm, the decoder, and a client that sees both modes' topics.
struct Site {
    Site(const ScratchDir &dir, std::size_t terminals)
        : broker(dir), farm(dir, terminals), codec(dir), client(broker.port(), "scada") {
        client.subscribe("vq6120/#");
        client.subscribe("spBv1.0/#");
    }
    Broker broker;
    Farm farm;
    Codec codec;
    Client client;
};

class ValuesTest : public ScratchTest {
protected:
    void SetUp() override {
        need(VQ6120_NODE, "apt-get install nodejs");
        need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
    }
    json edge_config(std::uint16_t broker, const std::vector<std::pair<std::string, std::uint16_t>> &terminals) {
        json c = test_config(broker, "gw", terminals);
        c["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
        return c;
    }
};

// Auto reports every 100 ms with inputs that do not move: 30 of them (as many
// as 30 s of auto_report 10) publish nothing after the first answer; a change
// publishes exactly one message, carrying only the input that changed.
TEST_F(ValuesTest, UnchangedReportsPublishNothingAndAChangeExactlyOne) {
    Site site(dir, 1);
    struct Mode {
        const char *name;
        bool sparkplug;
        std::string data;  // where inputs go
        std::size_t first;  // messages there once the terminal answered on connect
    };
    const Mode modes[] = {{"json", false, topic("t1", "inputs"), 1}, {"edge", true, cmd("DDATA", "t1"), 0}};
    for (const Mode &mode : modes) {
        SCOPED_TRACE(mode.name);
        site.farm.command(0, "di 0 0");
        const std::uint16_t port = free_port();
        json config = mode.sparkplug ? edge_config(site.broker.port(), {{"t1", site.farm.port(0)}})
                                     : test_config(site.broker.port(), "gw", {{"t1", site.farm.port(0)}});
        config["terminals"][0]["auto_report"] = 1;
        config["metrics"] = std::to_string(port);  // as a unit without options has it
        site.client.clear();
        GatewayProcess gateway(dir, config, mode.name);
        const auto answered = site.client.await([&](const Received &r) {
            return mode.sparkplug ? r.topic == cmd("DBIRTH", "t1") : r.topic == topic("t1", "inputs");
        });
        ASSERT_TRUE(answered);
        if (mode.sparkplug) {
            // Read as a host reads it; the data after it is read with its types.
            const json birth = site.codec.decode(answered->payload);
            EXPECT_EQ(metric(birth, "Inputs/DI1")["value"], false) << birth.dump();
        }
        const auto count = [&] {
            std::size_t n = 0;
            for (const Received &r : site.client.all()) n += r.topic == mode.data;
            return n;
        };
        const double before = scrape_at_least(port, kUnchanged, 30);
        EXPECT_GE(before, 30);
        EXPECT_EQ(count(), mode.first) << seen(site.client, site.codec);

        site.farm.command(0, "di 1 0");
        const auto changed = site.client.await([&](const Received &r) {
            if (r.topic != mode.data) return false;
            return mode.sparkplug ? metric(site.codec.decode(r.payload), "Inputs/DI1")["value"] == true : r.json()["di1"] == 1;
        });
        ASSERT_TRUE(changed) << seen(site.client, site.codec);
        EXPECT_GE(scrape_at_least(port, kUnchanged, before + 30), before + 30);
        EXPECT_EQ(count(), mode.first + 1) << seen(site.client, site.codec);
        if (mode.sparkplug) {
            const json data = site.codec.decode(changed->payload);
            ASSERT_EQ(data["metrics"].size(), 1u) << data.dump();  // DI2 did not change
            EXPECT_EQ(data["metrics"][0]["typed"], false) << "data types belong in births: " << data.dump();
        }
        EXPECT_EQ(gateway.stop(SIGTERM), 0);
    }
}

// Births hold the terminal's answers to the questions asked on connect, or
// nulls once connect_timeout_ms passed without them; after a power cycle or
// an address change the birth holds nothing from before, and a write of one
// output writes the other, whose state nobody knows, off rather than on from
// the old value.
TEST_F(ValuesTest, BirthsHoldCurrentAnswersAndALossLeavesNoStaleValue) {
    Site site(dir, 3);
    site.farm.command(1, "silent");  // connected, never answering
    json config = edge_config(site.broker.port(), {{"t1", site.farm.port(0)}, {"t2", site.farm.port(1)}});
    config["connect_timeout_ms"] = 1000;
    GatewayProcess gateway(dir, config);
    const auto birth = [&](const char *device) {
        const auto b = site.client.await_topic(cmd("DBIRTH", device));
        if (!b) fail(std::string("no DBIRTH for ") + device + "\n" + seen(site.client, site.codec));
        return site.codec.decode(b->payload);
    };
    struct Born {
        const char *device;
        json model, di1;
    };
    for (const Born &row : {Born{"t1", "VQ6120-SIM", false}, Born{"t2", nullptr, nullptr}}) {
        const json b = birth(row.device);
        EXPECT_EQ(metric(b, "Model")["value"], row.model) << b.dump();
        EXPECT_EQ(metric(b, "Inputs/DI1")["value"], row.di1) << b.dump();
        EXPECT_EQ(metric(b, "State")["value"], "online") << b.dump();
    }
    EXPECT_NE(gateway.log().find("edge node spBv1.0/Plant/+/gw/#"), std::string::npos) << gateway.log();

    // Three metrics in one DCMD: one DDATA with all it changed, DO2 (never
    // written) reported off.
    const std::string first = site.codec.encode({{"metrics",
                                                  {{{"name", "Outputs/DO1"}, {"type", "Boolean"}, {"value", true}},
                                                   {{"name", "LED"}, {"type", "UInt32"}, {"value", 7}},
                                                   {{"name", "Text"}, {"type", "String"}, {"value", "hi"}}}}});
    site.client.publish(cmd("DCMD", "t1"), first);
    ASSERT_TRUE(site.client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(site.codec.decode(r.payload), "LED")["value"] == 7;
    })) << seen(site.client, site.codec);
    site.farm.command(0, "key 3");  // whatever came of the DCMD came before this
    ASSERT_TRUE(site.client.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(site.codec.decode(r.payload), "Last Key")["value"] == 3;
    })) << seen(site.client, site.codec);
    std::vector<json> data;
    for (const Received &r : site.client.all()) {
        if (r.topic == cmd("DDATA", "t1")) data.push_back(site.codec.decode(r.payload));
    }
    ASSERT_EQ(data.size(), 2u) << seen(site.client, site.codec);
    for (const auto &[name, value] : {std::pair<const char *, json>{"Outputs/DO1", true}, {"Outputs/DO2", false}, {"LED", 7},
                                      {"Text", "hi"}}) {
        EXPECT_EQ(metric(data[0], name)["value"], value) << name << " " << data[0].dump();
    }
    EXPECT_TRUE(site.farm.dump_soon(0, [](const std::string &d) { return d.find("digital outputs 1 0") != std::string::npos; }, 5s));

    // Lost by a power cycle (the terminal keeps DO1 on; the gateway can no
    // longer know) and by a reload that moves t1 to another terminal: each
    // time the birth holds nothing from before, and writing DO2 writes DO1 off.
    struct Loss {
        const char *how;
        std::size_t terminal;  // of the farm, after the loss
    };
    for (const Loss &loss : {Loss{"restart 300ms", 0}, Loss{"reload", 2}}) {
        SCOPED_TRACE(loss.how);
        site.client.clear();
        if (loss.terminal == 0) {
            site.farm.command(0, loss.how);
        } else {
            config["terminals"][0]["port"] = site.farm.port(loss.terminal);
            gateway.rewrite(config.dump());
            gateway.signal(SIGHUP);
        }
        ASSERT_TRUE(site.client.await_topic(cmd("DDEATH", "t1")));
        const json again = birth("t1");
        EXPECT_EQ(metric(again, "Model")["value"], "VQ6120-SIM") << again.dump();
        EXPECT_EQ(metric(again, "Inputs/DI1")["value"], false) << again.dump();
        for (const char *stale : {"Outputs/DO1", "Outputs/DO2", "LED", "Text", "Last Key"}) {
            EXPECT_TRUE(metric(again, stale)["value"].is_null()) << stale << " " << again.dump();
        }
        site.client.publish(cmd("DCMD", "t1"),
                            site.codec.encode({{"metrics", {{{"name", "Outputs/DO2"}, {"type", "Boolean"}, {"value", true}}}}}));
        const auto written = site.client.await_topic(cmd("DDATA", "t1"));
        ASSERT_TRUE(written) << seen(site.client, site.codec);
        EXPECT_EQ(metric(site.codec.decode(written->payload), "Outputs/DO1")["value"], false)
            << site.codec.decode(written->payload).dump();
        EXPECT_TRUE(site.farm.dump_soon(
            loss.terminal, [](const std::string &d) { return d.find("digital outputs 0 1") != std::string::npos; }, 5s))
            << site.farm.dump(loss.terminal);
        // Values for the next loss to leave behind.
        site.client.publish(cmd("DCMD", "t1"), first);
        ASSERT_TRUE(site.client.await([&](const Received &r) {
            return r.topic == cmd("DDATA", "t1") && metric(site.codec.decode(r.payload), "LED")["value"] == 7;
        })) << seen(site.client, site.codec);
    }
}

// The DDEATH goes out when the terminal is lost, not when the next attempt
// to reach it starts (a minute later here).
TEST_F(ValuesTest, ADeviceDiesAtItsLossNotAtTheNextAttempt) {
    Site site(dir, 1);
    json config = edge_config(site.broker.port(), {{"t1", site.farm.port(0)}});
    config["terminal_reconnect_min_ms"] = 60000;
    config["terminal_reconnect_max_ms"] = 60000;
    GatewayProcess gateway(dir, config);
    ASSERT_TRUE(site.client.await_topic(cmd("DBIRTH", "t1")));
    site.farm.command(0, "drop");
    EXPECT_TRUE(site.client.await_topic(cmd("DDEATH", "t1"), 10s)) << seen(site.client, site.codec);
}

// auto_report 0 is off on the terminal, also after a host that set a time.
TEST_F(ValuesTest, AutoReportZeroSwitchesTheTerminalsReportOff) {
    Plant plant(dir, 1);
    json config = test_config(plant.broker.port(), "gw", {{"t1", plant.farm.port(0)}});
    config["terminals"][0]["auto_report"] = 5;
    GatewayProcess gateway(dir, config);
    const auto shows = [&](const std::string &line) {
        return plant.farm.dump_soon(0, [&](const std::string &d) { return d.find(line) != std::string::npos; }, 10s);
    };
    EXPECT_TRUE(shows("auto report 500 ms")) << plant.farm.dump(0);
    config["terminals"][0]["auto_report"] = 0;
    gateway.rewrite(config.dump());
    gateway.signal(SIGHUP);
    EXPECT_TRUE(shows("auto report off")) << plant.farm.dump(0);
}

}  // namespace
}  // namespace vq6120::gateway::test
