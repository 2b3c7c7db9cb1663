// The configuration's rules at their edges, and the state a terminal's topic
// shows: pure functions, no processes.
#include <gtest/gtest.h>

#include <string>

#include "config.hpp"
#include "gateway.hpp"
#include "harness.hpp"
#include "sparkplug.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;

// Every bounded member, at both ends: the bound itself is taken, one past it
// is refused and named.
TEST(GatewayConfig, EveryBoundIsTakenAndOnePastItRefused) {
    json good = test_config(1883, "gw", {{"t1", 16120}});
    for (const char *side : {"/broker/reconnect_", "/terminal_reconnect_"}) {
        good[json::json_pointer(std::string(side) + "min_ms")] = 10;
        good[json::json_pointer(std::string(side) + "max_ms")] = 3600000;
    }
    good["store"] = {{"path", "events.db"}};
    good["redundancy"] = {{"node", "a"}};
    struct Bound {
        std::string pointer;
        long long lo, hi;
    };
    const Bound bounds[] = {
        {"/broker/port", 1, 65535},
        {"/broker/keepalive", 5, 65535},
        {"/broker/reconnect_min_ms", 10, 600000},
        {"/broker/reconnect_max_ms", 10, 3600000},
        {"/broker/queue_limit", 0, 10000000},
        {"/broker/event_qos", 0, 1},
        {"/status_interval", 1, 3600},
        {"/connect_timeout_ms", 10, 600000},
        {"/terminal_reconnect_min_ms", 10, 600000},
        {"/terminal_reconnect_max_ms", 10, 3600000},
        {"/terminals/0/port", 1, 65535},
        {"/terminals/0/auto_report", 0, 255},
        {"/terminals/0/host_alive", 0, 255},
        {"/store/max_events", 1, 100000000},
        {"/store/max_bytes", 64 << 10, 1ll << 36},
        {"/redundancy/settle_ms", 0, 60000},
        {"/redundancy/fence_ms", 0, 3600000},
    };
    for (const Bound &b : bounds) {
        for (const long long v : {b.lo, b.hi}) {
            json c = good;
            c[json::json_pointer(b.pointer)] = v;
            const auto r = parse_config(c.dump());
            EXPECT_TRUE(r.config) << b.pointer << " = " << v << ": " << (r.error ? r.error->describe() : "");
        }
        for (const long long v : {b.lo - 1, b.hi + 1}) {
            json c = good;
            c[json::json_pointer(b.pointer)] = v;
            const auto r = parse_config(c.dump());
            ASSERT_FALSE(r.config) << b.pointer << " = " << v;
            EXPECT_EQ(r.error->pointer, b.pointer) << r.error->describe();
        }
    }
    // The lowest reconnect bounds allowed: 10 .. 10, equal bounds are a fixed delay.
    for (const char *side : {"/broker/reconnect_", "/terminal_reconnect_"}) {
        json c = good;
        c[json::json_pointer(std::string(side) + "min_ms")] = 10;
        c[json::json_pointer(std::string(side) + "max_ms")] = 10;
        EXPECT_TRUE(parse_config(c.dump()).config) << side;
        c[json::json_pointer(std::string(side) + "min_ms")] = 11;
        const auto r = parse_config(c.dump());
        ASSERT_FALSE(r.config) << side;
        EXPECT_EQ(r.error->pointer, std::string(side) + "max_ms");
    }
}

// A pair is for JSON mode only for now: with an edge node it is refused, named.
TEST(GatewayConfig, RedundancyIsRefusedInSparkplugMode) {
    json c = test_config(1883, "gw", {{"t1", 16120}});
    c["redundancy"] = {{"node", "a"}};
    EXPECT_TRUE(parse_config(c.dump()).config);
    c["sparkplug"] = {{"group_id", "G"}, {"edge_node_id", "E"}};
    const auto r = parse_config(c.dump());
    ASSERT_FALSE(r.config);
    EXPECT_EQ(r.error->pointer, "/redundancy");
}

TEST(GatewayConfig, TopicLevelsAreOneToSixtyFourPlainCharacters) {
    struct Case {
        std::string name;
        bool ok;
    };
    const Case cases[] = {
        {"a", true},           {std::string(64, 'x'), true}, {std::string(65, 'x'), false}, {"", false},
        {"a/b", false},        {"a+", false},                {"#", false},                  {"$SYS", false},
        {"_gateway", false},   {"a b", false},               {"caf\xc3\xa9", false},        {"x$_", true},
        {"line3-mixer", true}, {"~!", true},                 {std::string(1, '\x7f'), false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(valid_topic_level(c.name), c.ok) << c.name;
        for (const std::string where :
             {"/terminals/0/name", "/broker/client_id", "/prefix", "/sparkplug/primary_host_id", "/redundancy/node"}) {
            if (where == "/prefix" && c.name.find('/') != std::string::npos) continue;  // a prefix has levels
            json config = test_config(1883, "gw", {{"t1", 16120}});
            if (where.rfind("/sparkplug/", 0) == 0) config["sparkplug"] = {{"group_id", "G"}, {"edge_node_id", "E"}};
            if (where.rfind("/redundancy/", 0) == 0) config["redundancy"] = json::object();
            config[json::json_pointer(where)] = c.name;
            EXPECT_EQ(parse_config(config.dump()).config.has_value(), c.ok) << where << " = " << c.name;
        }
    }
}

// One round of --check names every mistake, and two entries for one
// terminal (same address and port) are refused.
TEST(GatewayConfig, EveryMistakeIsNamedInOneRoundAndTwoEntriesMayNotShareATerminal) {
    json c = test_config(1883, "gw", {{"t1", 16120}, {"t2", 16121}, {"t3", 16120}, {"t1", 16122}});
    c["broker"]["port"] = 0;
    c["broker"]["colour"] = "red";
    c["terminals"][1]["auto_report"] = 256;
    c["terminals"].push_back("not an object");
    const auto r = parse_config(c.dump());
    ASSERT_FALSE(r.config);
    std::vector<std::string> named;
    for (const ConfigError &e : r.errors) named.push_back(e.pointer);
    EXPECT_EQ(named, (std::vector<std::string>{"/broker/colour", "/broker/port", "/terminals/1/auto_report", "/terminals/2/port",
                                               "/terminals/3/name", "/terminals/4"}));
    EXPECT_NE(r.errors[3].message.find("/terminals/0"), std::string::npos) << r.errors[3].message;
    EXPECT_EQ(r.error->pointer, "/broker/colour");

    // The same port on another address is another terminal.
    json apart = test_config(1883, "gw", {{"t1", 16120}, {"t2", 16120}});
    apart["terminals"][1]["address"] = "127.0.0.2";
    EXPECT_TRUE(parse_config(apart.dump()).config);
}

// Text that is no configuration is refused with a reason, never thrown, and
// a file is read only up to the bound (an endless one too).
TEST(GatewayConfig, WhatIsNoConfigurationIsRefusedNotThrown) {
    for (const std::string text : {"", "{", "1E400", "{\"broker\": -1e400}", "[1e999999]", "\"\\ud800\""}) {
        const auto r = parse_config(text);
        ASSERT_TRUE(r.error) << text;
        EXPECT_EQ(r.error->pointer, "") << text;
    }
    const auto endless = load_config("/dev/zero");
    ASSERT_TRUE(endless.error);
    EXPECT_NE(endless.error->message.find("larger than"), std::string::npos) << endless.error->describe();
}

// A DCMD the node could not report faithfully, or too large to decode at
// all, is refused with nothing to write.
TEST(GatewaySparkplug, CommandsTheNodeCannotCarryOrReportAreRefused) {
    using namespace sparkplug;
    struct Case {
        std::string payload;
        std::size_t writes;
    };
    const auto one = [](std::uint32_t type, std::string value) {
        return encode(Payload{0, 1, {Metric{"Text", type, std::move(value)}}});
    };
    std::string huge = one(String, "x");
    while (huge.size() <= kMaxCommandPayload) huge += one(String, "x");
    const Case cases[] = {
        {one(String, "line 3"), 1},
        {one(Bytes, "line 3"), 1},
        {one(Bytes, std::string("a\0b", 3)), 0},
        {huge.substr(0, kMaxCommandPayload - kMaxCommandPayload % one(String, "x").size()), kMaxCommandPayload / one(String, "x").size()},
        {huge, 0},
    };
    const EdgeNode node(SparkplugConfig{"Plant", "gw"});
    for (const Case &c : cases) {
        const auto command = node.command("spBv1.0/Plant/DCMD/gw/t1", c.payload);
        ASSERT_TRUE(command);
        EXPECT_EQ(command->writes.size(), c.writes) << c.payload.size() << " bytes";
        EXPECT_EQ(command->refused.size(), c.writes == 0 ? 1u : 0u) << c.payload.size() << " bytes";
    }
}

// The state topic follows every change of state or reason, and only those.
TEST(GatewayState, EveryChangeOfStateOrReasonIsShownAndNothingElse) {
    struct Case {
        ShownState now;
        vq6120::State state;
        std::string reason;
        unsigned attempt;
        std::optional<ShownState> shown;
    };
    using S = vq6120::State;
    const Case cases[] = {
        {{"connecting", "starting"}, S::Connecting, "", 1, ShownState{"connecting", "attempt 1"}},
        {{"connecting", "attempt 1"}, S::Connecting, "", 2, ShownState{"connecting", "attempt 2"}},
        {{"connecting", "attempt 2"}, S::Connecting, "", 2, std::nullopt},
        {{"connecting", "attempt 1"}, S::Online, "", 0, ShownState{"online", "connected"}},
        {{"online", "connected"}, S::Lost, "connection closed", 0, ShownState{"offline", "connection closed"}},
        {{"offline", "connection closed"}, S::Waiting, "", 0, std::nullopt},
        {{"offline", "connection closed"}, S::Lost, "no auto report", 0, ShownState{"offline", "no auto report"}},
        {{"connecting", "attempt 1"}, S::Waiting, "connect failed", 0, ShownState{"offline", "connect failed"}},
    };
    for (const Case &c : cases) {
        vq6120::StateChange change;
        change.state = c.state;
        change.reason = c.reason;
        change.attempt = c.attempt;
        const auto shown = state_after(c.now, change);
        EXPECT_EQ(shown.has_value(), c.shown.has_value()) << c.now.state << "/" << c.now.reason << " -> " << c.reason;
        if (shown && c.shown) {
            EXPECT_EQ(*shown, *c.shown) << c.now.state << "/" << c.now.reason << " -> " << shown->state << "/" << shown->reason;
        }
    }
}

}  // namespace
}  // namespace vq6120::gateway::test
