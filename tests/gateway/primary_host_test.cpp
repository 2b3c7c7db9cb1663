// The Sparkplug edge node's sessions against a real broker, read with npm's
// sparkplug-payload: births that wait for the primary host's STATE, NDEATH
// and a new session when it goes offline, bdSeq across refused CONNECTs and
// restarts, and the clean stop's DISCONNECT.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "bdseq.hpp"
#include "sparkplug_codec.hpp"

namespace vq6120::gateway::test {
namespace {


const std::string kState = "spBv1.0/STATE/scada";

std::string state(bool online, std::uint64_t ts) { return json{{"online", online}, {"timestamp", ts}}.dump(); }

// Waits until `count()` reaches `times` (10 s at most); its last value.
std::size_t wait_count(const std::function<std::size_t()> &count, std::size_t times) {
    std::size_t n = count();
    for (const auto end = std::chrono::steady_clock::now() + 10s; n < times && std::chrono::steady_clock::now() < end;
         n = count()) {
        std::this_thread::sleep_for(20ms);
    }
    return n;
}

// How often `file` holds `text`, once that is `times` or more.
std::size_t file_says(const std::filesystem::path &file, const std::string &text, std::size_t times = 1) {
    return wait_count(
        [&] {
            std::stringstream s;
            s << std::ifstream(file).rdbuf();
            const std::string all = s.str();
            std::size_t n = 0;
            for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
            return n;
        },
        times);
}

// The position of the first message on `topic` at or after `from`; all.size() when none.
std::size_t first(const std::vector<Received> &all, const std::string &topic, std::size_t from = 0) {
    while (from < all.size() && all[from].topic != topic) ++from;
    return from;
}

// A broker, one terminal, the decoder, a host client seeing every Sparkplug
// topic, and the node's configuration.
struct Site {
    Site(const ScratchDir &dir, const BrokerOptions &options = {}, const User &user = {})
        : broker(dir, options), farm(dir, 1), codec(dir), scada(broker.port(), "scada", user),
          config(test_config(broker.port(), "gw", {{"t1", farm.port(0)}})) {
        scada.subscribe("spBv1.0/#");
        config["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
    }
    json bd_seq(const Received &r) { return metric(codec.decode(r.payload), "bdSeq")["value"]; }
    Broker broker;
    Farm farm;
    Codec codec;
    Client scada;
    json config;
};

TEST_F(SparkplugTest, BirthsFollowThePrimaryHostOfflineOnlineOffline) {
    Site site(dir);
    Client &scada = site.scada;
    const auto log = dir.path() / "gateway.log";
    scada.publish(kState, state(false, 1000), {}, true);  // retained, from before the node started
    ASSERT_TRUE(scada.await_topic(kState));
    site.config["sparkplug"]["primary_host_id"] = "scada";
    GatewayProcess gateway(dir, site.config);
    ASSERT_TRUE(file_says(log, "STATE offline (timestamp 1000)")) << gateway.log();

    // Online: births, after the STATE that allowed them.
    scada.publish(kState, state(true, 2000), {}, true);
    const auto nbirth = scada.await_topic(cmd("NBIRTH"));
    const auto dbirth = scada.await_topic(cmd("DBIRTH", "t1"));
    ASSERT_TRUE(nbirth && dbirth) << seen(scada, site.codec);
    site.codec.decode(dbirth->payload);  // the decoder learns the data types from the birth, as a host does
    EXPECT_LT(first(scada.all(), kState, 1), first(scada.all(), cmd("NBIRTH"))) << seen(scada, site.codec);
    EXPECT_EQ(metric(site.codec.decode(nbirth->payload), "bdSeq")["type"], "Int64");

    // An offline older than the online taken: ignored, events still flow.
    scada.publish(kState, state(false, 1500));
    ASSERT_TRUE(file_says(log, "older than the last one taken")) << gateway.log();
    site.farm.command(0, "key 9");
    ASSERT_TRUE(scada.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(site.codec.decode(r.payload), "Last Key")["value"] == 9;
    })) << seen(scada, site.codec);
    EXPECT_EQ(first(scada.all(), cmd("NDEATH")), scada.all().size()) << seen(scada, site.codec);

    // Offline: NDEATH of the session, a DISCONNECT, a new session held by
    // the retained offline, births again (the next bdSeq) on the next online.
    scada.clear();
    scada.publish(kState, state(false, 3000), {}, true);
    const auto death = scada.await_topic(cmd("NDEATH"));
    ASSERT_TRUE(death) << seen(scada, site.codec);
    EXPECT_EQ(site.bd_seq(*death), site.bd_seq(*nbirth));
    EXPECT_EQ(file_says(dir.path() / "mosquitto.log", "Client gw disconnected."), 1u);
    ASSERT_EQ(file_says(log, "STATE offline (timestamp 3000)", 2), 2u) << gateway.log();
    scada.publish(kState, state(true, 4000), {}, true);
    const auto again = scada.await_topic(cmd("NBIRTH"));
    ASSERT_TRUE(again && scada.await_topic(cmd("DBIRTH", "t1"))) << seen(scada, site.codec);
    EXPECT_EQ(site.bd_seq(*again), (site.bd_seq(*nbirth).get<int>() + 1) % 256);
}

// While the host is offline the node is not born: what an event changed
// waits, what changed nothing (reports of inputs as known) is not kept; on
// the host's online the births go first, then the waiting keys as historical
// DDATA without data types, with the seq after the births; then keys go live.
TEST_F(SparkplugTest, EventsWhileThePrimaryHostIsOfflineFollowTheBirthsAsHistorical) {
    Site site(dir);
    Client &scada = site.scada;
    scada.publish(kState, state(false, 1000), {}, true);
    ASSERT_TRUE(scada.await_topic(kState));
    const std::uint16_t port = free_port();
    site.config["sparkplug"]["primary_host_id"] = "scada";
    site.config["terminals"][0]["auto_report"] = 1;  // inputs reported every 100 ms, unchanged
    site.config["metrics"] = std::to_string(port);
    GatewayProcess gateway(dir, site.config);
    ASSERT_TRUE(file_says(dir.path() / "gateway.log", "metrics at http")) << gateway.log();
    const auto at_least = [&](const char *name, std::size_t n) {
        return wait_count([&] { return static_cast<std::size_t>(scrape(port)[name]); }, n);
    };
    const char *unchanged = "vq6120_gateway_events_unchanged_total";
    const char *waiting = "vq6120_gateway_store_events";
    // Answered (inputs known): the reports after are unchanged, none kept.
    ASSERT_GE(at_least(unchanged, 3), 3u) << gateway.log();
    EXPECT_EQ(scrape(port)[waiting], 0);
    site.farm.command(0, "key 3");
    site.farm.command(0, "key 4");
    ASSERT_EQ(scrape_until(port, waiting, 2)[waiting], 2) << gateway.log();
    const auto reports = static_cast<std::size_t>(scrape(port)[unchanged]) + 3;
    ASSERT_GE(at_least(unchanged, reports), reports);
    EXPECT_EQ(scrape(port)[waiting], 2);
    EXPECT_EQ(first(scada.all(), cmd("NBIRTH")), scada.all().size()) << seen(scada, site.codec);

    scada.publish(kState, state(true, 2000), {}, true);
    const auto data = [&] {
        std::size_t n = 0;
        for (const Received &r : scada.all()) n += r.topic == cmd("DDATA", "t1");
        return n;
    };
    ASSERT_EQ(wait_count(data, 2), 2u) << seen(scada, site.codec);
    EXPECT_EQ(scrape_until(port, waiting, 0)[waiting], 0);
    std::vector<json> drained;  // Last Key, typed, historical, seq
    int birth_seq = -1;
    for (const Received &r : scada.all()) {
        if (r.topic == cmd("DBIRTH", "t1")) birth_seq = site.codec.decode(r.payload).value("seq", -1);
        if (r.topic != cmd("DDATA", "t1")) continue;
        const json p = site.codec.decode(r.payload);  // after the DBIRTH: read with its types
        const json m = metric(p, "Last Key");
        drained.push_back({m.value("value", -1), m.value("typed", true), m.value("isHistorical", false), p.value("seq", -1)});
    }
    ASSERT_GE(birth_seq, 0) << seen(scada, site.codec);
    EXPECT_EQ(drained, (std::vector<json>{{3, false, true, birth_seq + 1}, {4, false, true, birth_seq + 2}}))
        << seen(scada, site.codec);

    site.farm.command(0, "key 5");
    ASSERT_TRUE(scada.await([&](const Received &r) {
        if (r.topic != cmd("DDATA", "t1")) return false;
        const json m = metric(site.codec.decode(r.payload), "Last Key");
        return m.value("value", -1) == 5 && !m.value("isHistorical", false);
    })) << seen(scada, site.codec);
}

TEST_F(SparkplugTest, BdSeqThroughRefusedConnectsRestartsAndACleanStop) {
    BrokerOptions secured;
    secured.users = {{"gw", "right"}, {"scada", "scada"}};
    secured.acl = "pattern readwrite #\n";
    Site site(dir, secured, {"scada", "scada"});
    const auto file = dir.path() / "gw.bdseq";
    site.config["broker"]["username"] = "gw";
    site.config["broker"]["password"] = "wrong";
    auto refused = std::make_unique<GatewayProcess>(dir, site.config, "refused");
    ASSERT_EQ(file_says(dir.path() / "refused.log", "refused the connection", 3), 3u) << refused->log();
    EXPECT_EQ(refused->stop(SIGTERM), 0);
    const auto after = read_bdseq(file.string()).last;  // every CONNECT took a number
    ASSERT_GE(after.value_or(0), 2);

    // Each start goes on from the file as the last run left it, or as written here.
    site.config["broker"]["password"] = "right";
    const std::pair<std::string, int> cases[] = {{"", (*after + 1) % 256}, {"255\n", 0}};
    for (const auto &[content, first_bd_seq] : cases) {
        const int expected = first_bd_seq;  // a plain local: lambdas capture it
        if (!content.empty()) std::ofstream(file) << content;
        site.scada.clear();
        GatewayProcess gateway(dir, site.config);
        const auto nbirth = site.scada.await_topic(cmd("NBIRTH"));
        ASSERT_TRUE(nbirth) << gateway.log();
        EXPECT_EQ(site.bd_seq(*nbirth), expected);
        EXPECT_EQ(gateway.stop(SIGTERM), 0);
        // The node's NDEATH, then the will, both of this session: the broker
        // publishes the will after a DISCONNECT only for reason 0x04.
        const auto deaths = [&] {
            std::size_t n = 0;
            for (const Received &r : site.scada.all()) n += r.topic == cmd("NDEATH") && site.bd_seq(r) == expected;
            return n;
        };
        EXPECT_EQ(wait_count(deaths, 2), 2u) << seen(site.scada, site.codec);
    }
    // A DISCONNECT each time, never a dropped socket.
    const auto broker_log = dir.path() / "mosquitto.log";
    EXPECT_EQ(file_says(broker_log, "Client gw disconnected.", 2), 2u);
    EXPECT_EQ(file_says(broker_log, "Client gw closed its connection", 0), 0u);
}

}  // namespace
}  // namespace vq6120::gateway::test
