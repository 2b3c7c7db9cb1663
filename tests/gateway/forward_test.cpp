// Key presses while the broker is away (260: enough for the seq of the
// drained DDATA to wrap), with the gateway killed and
// restarted meanwhile or not, in both modes: once the broker is back every
// key arrives, in order per terminal, marked historical, with the time it was
// pressed; then the store is empty and keys go live again. And the store at
// its bound: the oldest go, counted, said once.
#include <signal.h>

#include <gtest/gtest.h>

#include <map>
#include <numeric>

#include "sparkplug_codec.hpp"
#include "fixture.hpp"
#include "harness.hpp"
#include "payloads.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;

constexpr std::size_t kTerminals = 20;
constexpr int kKeys = 13;  // 260 events: the drained DDATA's seq wraps past 255

std::uint64_t now_ms() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::system_clock::now().time_since_epoch())
                                          .count());
}

// A key as the subscriber saw it, in either mode.
struct Seen {
    int key = -1;
    bool historical = false;
    std::string ts;        // JSON: RFC 3339
    std::uint64_t ms = 0;  // Sparkplug: ms since the epoch
    int seq = -1;
};

class ForwardTest : public ScratchTest {
protected:
    // The gateway with the store, its metrics on a port of its own.
    std::unique_ptr<GatewayProcess> start(const json &config, const std::string &name) {
        metrics_port = free_port();
        return std::make_unique<GatewayProcess>(dir, config, name,
                                                std::vector<std::string>{"--metrics", std::to_string(metrics_port)});
    }
    // A sample once it reads `until` (or its last value after 10 s); a
    // gateway just started may not serve its metrics yet.
    double metric(const std::string &name, double until) {
        double last = -1;
        for (int i = 0; i < 200 && last != until; ++i) {
            if (i > 0) std::this_thread::sleep_for(50ms);
            try {
                last = scrape(metrics_port)[name];
            } catch (const std::exception &) {
            }
        }
        return last;
    }
    std::uint16_t metrics_port = 0;
};

TEST_F(ForwardTest, KeysPressedWhileTheBrokerIsAwayAllArriveInOrderHistoricalWithTheirTime) {
    struct Case {
        const char *name;
        bool sparkplug;
        bool kill;  // the gateway SIGKILLed with the keys stored, and started again
    };
    const Case cases[] = {
        {"json", false, false},
        {"json, gateway killed", false, true},
        {"sparkplug", true, false},
        {"sparkplug, gateway killed", true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.sparkplug) {
            need(VQ6120_NODE, "apt-get install nodejs");
            need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
        }
        ScratchDir run;
        BrokerOptions persistent;  // the subscriber's session and its queue outlive the broker's restart
        persistent.persistent = true;
        persistent.unbounded_queues = true;
        Broker broker(run, persistent);
        Farm farm(run, kTerminals);
        std::optional<Codec> codec;
        if (c.sparkplug) codec.emplace(run);
        Client client(broker.port(), "observer", User{}, true);
        client.subscribe(c.sparkplug ? "spBv1.0/#" : "vq6120/+/key");
        std::vector<std::pair<std::string, std::uint16_t>> names;
        for (std::size_t i = 0; i < kTerminals; ++i) names.emplace_back("t" + std::to_string(i), farm.port(i));
        json config = test_config(broker.port(), "gw", names);
        config["store"] = {{"path", (run.path() / "events.db").string()}};
        if (c.sparkplug) config["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
        auto gateway = start(config, "gateway");
        ASSERT_EQ(metric("vq6120_gateway_terminals{state=\"online\"}", kTerminals), kTerminals);
        ASSERT_EQ(metric("vq6120_gateway_broker_connected", 1), 1);

        broker.stop();
        ASSERT_EQ(metric("vq6120_gateway_broker_connected", 0), 0);
        const std::string away_ts = timestamp();
        const std::uint64_t away_ms = now_ms();
        for (int k = 1; k <= kKeys; ++k) {
            for (std::size_t i = 0; i < kTerminals; ++i) farm.command(i, "key " + std::to_string(k));
        }
        ASSERT_EQ(metric("vq6120_gateway_store_events", kTerminals * kKeys), kTerminals * kKeys);
        if (c.kill) {
            gateway->stop(SIGKILL);
            gateway = start(config, "gateway-again");
            // The terminals answer the model and inputs the new gateway asks
            // for: in JSON mode news that waits too, in Sparkplug mode what
            // the DBIRTHs will hold.
            const std::size_t answers = c.sparkplug ? 0 : 2 * kTerminals;
            EXPECT_EQ(metric("vq6120_gateway_store_events", kTerminals * kKeys + answers), kTerminals * kKeys + answers);
            ASSERT_EQ(metric("vq6120_gateway_terminals{state=\"online\"}", kTerminals), kTerminals);
        }
        const std::string back_ts = timestamp();
        const std::uint64_t back_ms = now_ms();
        broker.start();

        // Every terminal's last key, then the store empty.
        const std::string last_key = std::to_string(kKeys);
        const auto key_of = [&](const Received &r) -> std::optional<std::pair<std::string, Seen>> {
            const auto slash = r.topic.rfind('/');
            if (!c.sparkplug) {
                if (!r.topic.ends_with("/key")) return std::nullopt;
                const json j = r.json();
                const std::string t = r.topic.substr(7, r.topic.size() - 11);  // vq6120/<t>/key
                return std::pair{t, Seen{j.value("key", -1), j.value("historical", false), j.value("ts", ""), 0, -1}};
            }
            // DDATA carries no data types: the decoder takes them from the
            // DBIRTH it saw before.
            if (r.topic.find("/DBIRTH/") != std::string::npos) codec->decode(r.payload);
            if (r.topic.find("/DDATA/") == std::string::npos) return std::nullopt;
            const json p = codec->decode(r.payload);
            const json m = test::metric(p, "Last Key");
            if (m.is_null()) return std::nullopt;
            return std::pair{r.topic.substr(slash + 1), Seen{m.value("value", -1), m.value("isHistorical", false), "",
                                                             m.value("timestamp", std::uint64_t{0}), p.value("seq", -1)}};
        };
        std::map<std::string, std::vector<Seen>> keys;
        const auto all_in = [&] {
            keys.clear();
            for (const Received &r : client.all()) {
                if (const auto k = key_of(r)) keys[k->first].push_back(k->second);
            }
            if (keys.size() < kTerminals) return false;
            for (const auto &[t, seen] : keys) {
                if (seen.empty() || seen.back().key != kKeys) return false;
            }
            return true;
        };
        for (int i = 0; i < 300 && !all_in(); ++i) std::this_thread::sleep_for(100ms);
        ASSERT_EQ(keys.size(), kTerminals);
        int last_seq = -1;
        for (const auto &[t, seen] : keys) {
            std::vector<int> order;
            for (const Seen &s : seen) {
                order.push_back(s.key);
                EXPECT_TRUE(s.historical) << t << " key " << s.key;
                if (c.sparkplug) {
                    EXPECT_GE(s.ms, away_ms) << t;
                    EXPECT_LE(s.ms, back_ms) << t;
                } else {
                    EXPECT_GE(s.ts, away_ts) << t;
                    EXPECT_LE(s.ts, back_ts) << t;
                }
            }
            std::vector<int> pressed(kKeys);
            std::iota(pressed.begin(), pressed.end(), 1);
            EXPECT_EQ(order, pressed) << t;
        }
        if (c.sparkplug) {
            // The drained DDATA follow each other in seq, as everything of one
            // session does, and wrap past 255.
            int wraps = 0;
            for (const Received &r : client.all()) {
                if (r.topic.find("/DDATA/") == std::string::npos) continue;
                const int seq = codec->decode(r.payload).value("seq", -1);
                if (last_seq >= 0) {
                    EXPECT_EQ(seq, (last_seq + 1) % 256) << r.topic;
                }
                wraps += last_seq == 255 && seq == 0;
                last_seq = seq;
            }
            EXPECT_EQ(wraps, 1);
        }
        EXPECT_EQ(metric("vq6120_gateway_store_events", 0), 0);
        EXPECT_EQ(metric("vq6120_gateway_store_dropped_total", 0), 0);

        // The way clear again: a key goes live, not historical.
        client.clear();
        farm.command(0, "key 9");
        ASSERT_TRUE(client.await([&](const Received &r) {
            const auto k = key_of(r);
            return k && k->first == "t0" && k->second.key == 9 && !k->second.historical;
        }));
        EXPECT_EQ(gateway->stop(SIGTERM), 0);
    }
}

TEST_F(ForwardTest, AtItsBoundTheStoreDropsTheOldestCountsThemAndSaysSoOnce) {
    BrokerOptions persistent;
    persistent.persistent = true;
    Broker broker(dir, persistent);
    Farm farm(dir, 1);
    Client client(broker.port(), "observer", User{}, true);
    client.subscribe("vq6120/+/key");
    json config = test_config(broker.port(), "gw", {{"t1", farm.port(0)}});
    config["store"] = {{"path", (dir.path() / "events.db").string()}, {"max_events", 10}};
    auto gateway = start(config, "gateway");
    ASSERT_EQ(metric("vq6120_gateway_terminals{state=\"online\"}", 1), 1);
    broker.stop();
    ASSERT_EQ(metric("vq6120_gateway_broker_connected", 0), 0);
    for (int k = 1; k <= 15; ++k) farm.command(0, "key " + std::to_string(k));
    EXPECT_EQ(metric("vq6120_gateway_store_dropped_total", 5), 5);
    EXPECT_EQ(metric("vq6120_gateway_store_events", 10), 10);
    broker.start();
    ASSERT_TRUE(client.await_json(topic("t1", "key"), "key", 15, 30s));
    std::vector<int> keys;
    for (const Received &r : client.all()) keys.push_back(r.json().value("key", -1));
    EXPECT_EQ(keys, (std::vector<int>{6, 7, 8, 9, 10, 11, 12, 13, 14, 15}));
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
    const std::string log = gateway->log();
    std::size_t said = 0;
    for (auto at = log.find("dropping the oldest"); at != std::string::npos; at = log.find("dropping the oldest", at + 1)) ++said;
    EXPECT_EQ(said, 1u) << log;
}

}  // namespace
}  // namespace vq6120::gateway::test
