// Key presses while the broker is away (260: enough for the seq of the
// drained DDATA to wrap), with the gateway killed and
// restarted meanwhile or not, in both modes: once the broker is back every
// key arrives, in order per terminal, marked historical, with the time it was
// pressed; then the store is empty and keys go live again. And the store at
// its bound: the oldest go, counted, said once.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <numeric>
#include <set>

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

// Sparkplug: a terminal back online whose DBIRTH still waits for its answers
// when the broker returns holds its waiting DDATA back, in order, until that
// DBIRTH; the other terminal's drain meanwhile.
TEST_F(ForwardTest, ATerminalsHistoryWaitsForItsOwnBirthWhileTheOthersDrain) {
    need(VQ6120_NODE, "apt-get install nodejs");
    need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
    BrokerOptions persistent;
    persistent.persistent = true;
    Broker broker(dir, persistent);
    Farm farm(dir, 2);
    Codec codec(dir);
    Client client(broker.port(), "observer", User{}, true);
    client.subscribe("spBv1.0/#");
    json config = test_config(broker.port(), "gw", {{"t0", farm.port(0)}, {"t1", farm.port(1)}});
    config["store"] = {{"path", (dir.path() / "events.db").string()}};
    config["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
    config["connect_timeout_ms"] = 600000;  // only t0's key below ends its wait
    auto gateway = start(config, "gateway");
    ASSERT_EQ(metric("vq6120_gateway_terminals{state=\"online\"}", 2), 2);
    ASSERT_EQ(metric("vq6120_gateway_broker_connected", 1), 1);
    broker.stop();
    ASSERT_EQ(metric("vq6120_gateway_broker_connected", 0), 0);
    for (int k = 1; k <= 5; ++k) {
        farm.command(0, "key " + std::to_string(k));
        farm.command(1, "key " + std::to_string(k));
    }
    ASSERT_EQ(metric("vq6120_gateway_store_events", 10), 10);
    // t0 reconnects and never answers the model and inputs its DBIRTH waits for.
    farm.command(0, "silent");
    farm.command(0, "drop");
    ASSERT_EQ(metric("vq6120_gateway_terminal_connects_total", 3), 3);
    client.clear();  // the new session's births and data only
    broker.start();

    std::vector<std::pair<std::string, int>> seen;  // (topic, Last Key or -1), in arrival order
    const auto record = [&] {
        seen.clear();
        for (const Received &r : client.all()) {
            const bool data = r.topic.find("/DDATA/") != std::string::npos;
            if (!data && r.topic.find("/DBIRTH/") == std::string::npos) continue;
            const json key = test::metric(codec.decode(r.payload), "Last Key");
            seen.emplace_back(r.topic, data && !key.is_null() ? key.value("value", -1) : -1);
        }
    };
    const auto has = [&](const std::string &topic, int key) {
        return std::find(seen.begin(), seen.end(), std::pair{topic, key}) != seen.end();
    };
    for (int i = 0; i < 300 && !has(cmd("DDATA", "t1"), 5); ++i) {
        std::this_thread::sleep_for(50ms);
        record();
    }
    ASSERT_TRUE(has(cmd("DDATA", "t1"), 5)) << test::seen(client, codec);
    const auto of_t0 = [&](const std::pair<std::string, int> &x) { return x.first.ends_with("/t0"); };
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(), of_t0), 0) << test::seen(client, codec);

    // A key does not wait for answers: t0's DBIRTH, its five, then this one.
    farm.command(0, "speak");
    farm.command(0, "key 6");
    for (int i = 0; i < 300 && !has(cmd("DDATA", "t0"), 6); ++i) {
        std::this_thread::sleep_for(50ms);
        record();
    }
    std::vector<std::pair<std::string, int>> t0;
    std::copy_if(seen.begin(), seen.end(), std::back_inserter(t0), of_t0);
    std::vector<std::pair<std::string, int>> expected{{cmd("DBIRTH", "t0"), -1}};
    for (int k = 1; k <= 6; ++k) expected.emplace_back(cmd("DDATA", "t0"), k);
    EXPECT_EQ(t0, expected) << test::seen(client, codec);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

// The broker killed (SIGKILL) while the backlog drains, then back: every key
// arrives at least once, the first arrivals in order per terminal. In
// Sparkplug mode a host sees each session whole: after an NBIRTH every
// message's seq follows the one before, and no device's DDATA comes before
// its DBIRTH of that session; nothing of the session before is resent into it.
TEST_F(ForwardTest, ABrokerKilledDuringTheDrainLosesNothingAndMixesNoSessions) {
    constexpr std::size_t kCount = 10;
    constexpr int kPresses = 60;
    for (const bool sparkplug : {false, true}) {
        SCOPED_TRACE(sparkplug ? "sparkplug" : "json");
        if (sparkplug) {
            need(VQ6120_NODE, "apt-get install nodejs");
            need(VQ6120_GATEWAY_TESTS "/node_modules/sparkplug-payload", "npm ci in tests/gateway");
        }
        ScratchDir run;
        BrokerOptions persistent;
        persistent.persistent = true;
        persistent.unbounded_queues = true;
        persistent.unbounded_in_flight = true;
        Broker broker(run, persistent);
        Farm farm(run, kCount);
        std::optional<Codec> codec;
        if (sparkplug) codec.emplace(run);
        Client client(broker.port(), "observer", User{}, true);
        client.subscribe(sparkplug ? "spBv1.0/#" : "vq6120/#");
        std::vector<std::pair<std::string, std::uint16_t>> names;
        for (std::size_t i = 0; i < kCount; ++i) names.emplace_back("t" + std::to_string(i), farm.port(i));
        json config = test_config(broker.port(), "gw", names);
        config["store"] = {{"path", (run.path() / "events.db").string()}};
        if (sparkplug) config["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
        auto gateway = start(config, "gateway");
        ASSERT_EQ(metric("vq6120_gateway_terminals{state=\"online\"}", kCount), kCount);
        ASSERT_EQ(metric("vq6120_gateway_broker_connected", 1), 1);
        broker.stop();
        ASSERT_EQ(metric("vq6120_gateway_broker_connected", 0), 0);
        for (int k = 1; k <= kPresses; ++k) farm.command("key " + std::to_string(k));
        ASSERT_EQ(metric("vq6120_gateway_store_events", kCount * kPresses), kCount * kPresses);
        // The broker started with the gateway held (SIGSTOP) until the
        // observer is back: it misses nothing the gateway publishes then.
        const auto restart = [&] {
            gateway->signal(SIGSTOP);
            broker.start();
            bool back = false;
            for (int i = 0; i < 100 && !back; ++i) {
                if (i > 0) std::this_thread::sleep_for(100ms);
                try {
                    client.publish(sparkplug ? "spBv1.0/probe" : "vq6120/probe", "{}");
                } catch (const std::exception &) {
                    continue;  // not reconnected yet
                }
                back = client.await([](const Received &r) { return r.topic.ends_with("/probe"); }, 1s).has_value();
            }
            gateway->signal(SIGCONT);
            return back;
        };
        client.clear();
        ASSERT_TRUE(restart());
        const auto drained = [&](const Received &r) {
            return sparkplug ? r.topic.find("/DDATA/") != std::string::npos : r.json().value("historical", false);
        };
        ASSERT_TRUE(client.await(drained, 30s));
        // Mid-drain, the gateway held with messages in flight: what the
        // broker acknowledged reaches the observer before the broker dies,
        // as a SIGKILLed broker loses what it keeps only in memory, which
        // the gateway was right to let go of on its PUBACK.
        gateway->signal(SIGSTOP);
        for (std::size_t was = 0, now = client.all().size(); now != was; now = client.all().size()) {
            was = now;
            std::this_thread::sleep_for(500ms);
        }
        ::kill(broker.pid(), SIGKILL);
        ASSERT_TRUE(restart());
        EXPECT_EQ(metric("vq6120_gateway_store_events", 0), 0);

        // The first arrival of each key per terminal, and what a host would
        // object to; read again until every key is in.
        std::map<std::string, std::vector<int>> keys;
        std::vector<std::string> faults;
        const auto read = [&] {
            keys.clear();
            faults.clear();
            std::map<std::string, std::set<int>> arrived;
            int seq = -1;                 // Sparkplug: the last seq of the session
            std::set<std::string> born;  // Sparkplug: devices with a DBIRTH in the session
            std::size_t complete = 0;
            for (const Received &r : client.all()) {
                std::string terminal;
                int key = -1;
                if (!sparkplug) {
                    if (!r.topic.ends_with("/key")) continue;
                    terminal = r.topic.substr(7, r.topic.size() - 11);  // vq6120/<t>/key
                    key = r.json().value("key", -1);
                } else {
                    if (r.topic.ends_with("/probe") || r.topic.find("/NDEATH/") != std::string::npos) continue;
                    const json p = codec->decode(r.payload);
                    if (r.topic.find("/NBIRTH/") != std::string::npos) {
                        seq = 0;
                        born.clear();
                        continue;
                    }
                    if (p.value("seq", -1) != (seq + 1) % 256) faults.push_back(r.topic + ": seq " + p.dump());
                    seq = p.value("seq", -1);
                    terminal = r.topic.substr(r.topic.rfind('/') + 1);
                    if (r.topic.find("/DBIRTH/") != std::string::npos) born.insert(terminal);
                    if (r.topic.find("/DDATA/") == std::string::npos) continue;
                    if (born.count(terminal) == 0) faults.push_back(r.topic + ": before its DBIRTH " + p.dump());
                    key = test::metric(p, "Last Key").value("value", -1);
                }
                if (arrived[terminal].insert(key).second) {
                    keys[terminal].push_back(key);
                    complete += keys[terminal].size() == kPresses;
                }
            }
            return complete == kCount;
        };
        for (int i = 0; i < 300 && !read(); ++i) std::this_thread::sleep_for(100ms);
        EXPECT_EQ(faults, std::vector<std::string>{});
        std::vector<int> pressed(kPresses);
        std::iota(pressed.begin(), pressed.end(), 1);
        ASSERT_EQ(keys.size(), kCount);
        for (const auto &[terminal, order] : keys) EXPECT_EQ(order, pressed) << terminal;
        EXPECT_EQ(gateway->stop(SIGTERM), 0);
    }
}

}  // namespace
}  // namespace vq6120::gateway::test
