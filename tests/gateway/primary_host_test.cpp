// The Sparkplug edge node's sessions against a real broker, read with npm's
// sparkplug-payload: births that wait for the primary host's STATE, the
// NDEATH and new session when the host goes offline, bdSeq across refused
// CONNECTs and restarts, and the DISCONNECT of a clean stop.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "bdseq.hpp"
#include "sparkplug_codec.hpp"

namespace vq6120::gateway::test {
namespace {

using namespace sparkplug_test;

const std::string kState = "spBv1.0/STATE/scada";

std::string state(bool online, std::uint64_t timestamp) {
    return json{{"online", online}, {"timestamp", timestamp}}.dump();
}

// Occurrences of `text` in a file.
std::size_t count_in(const std::filesystem::path &file, const std::string &text) {
    std::stringstream s;
    s << std::ifstream(file).rdbuf();
    const std::string all = s.str();
    std::size_t n = 0;
    for (auto at = all.find(text); at != std::string::npos; at = all.find(text, at + 1)) ++n;
    return n;
}

// Waits until `file` holds `text` at least `times` times.
bool file_says(const std::filesystem::path &file, const std::string &text, std::size_t times = 1,
               std::chrono::milliseconds limit = 10s) {
    for (const auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
        if (count_in(file, text) >= times) return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

json sparkplug_config(std::uint16_t broker, std::uint16_t terminal, const std::string &host = {}) {
    json c = test_config(broker, "gw", {{"t1", terminal}});
    c["sparkplug"] = {{"group_id", "Plant"}, {"edge_node_id", "gw"}};
    if (!host.empty()) c["sparkplug"]["primary_host_id"] = host;
    return c;
}

// The position in `all` of the first message on `topic` at or after `from`; all.size() when none.
std::size_t first(const std::vector<Received> &all, const std::string &topic, std::size_t from = 0) {
    while (from < all.size() && all[from].topic != topic) ++from;
    return from;
}

// A broker, one terminal, the decoder and a host client that sees every
// Sparkplug topic.
struct Site {
    Site(const ScratchDir &dir, const BrokerOptions &options = {}, const User &user = {})
        : broker(dir, options), farm(dir, 1), codec(dir), scada(broker.port(), "scada", user) {
        scada.subscribe("spBv1.0/#");
    }
    Broker broker;
    Farm farm;
    Codec codec;
    Client scada;
};

TEST_F(SparkplugTest, BirthsFollowThePrimaryHostOfflineOnlineOffline) {
    Site site(dir);
    Broker &broker = site.broker;
    Farm &farm = site.farm;
    Codec &codec = site.codec;
    Client &scada = site.scada;
    // The host's retained offline from before the node started: it waits.
    scada.publish(kState, state(false, 1000), {}, true);
    ASSERT_TRUE(scada.await_topic(kState));
    GatewayProcess gateway(dir, sparkplug_config(broker.port(), farm.port(0), "scada"));
    const auto log = dir.path() / "gateway.log";
    ASSERT_TRUE(file_says(log, "STATE offline (timestamp 1000)")) << gateway.log();

    // Online: births, after the STATE that allowed them.
    scada.publish(kState, state(true, 2000), {}, true);
    const auto nbirth = scada.await_topic(cmd("NBIRTH"));
    ASSERT_TRUE(nbirth) << seen(scada, codec);
    ASSERT_TRUE(scada.await_topic(cmd("DBIRTH", "t1")));
    auto all = scada.all();
    EXPECT_LT(first(all, kState, first(all, kState) + 1), first(all, cmd("NBIRTH"))) << seen(scada, codec);
    const json bd = metric(codec.decode(nbirth->payload), "bdSeq");
    EXPECT_EQ(bd["type"], "Int64") << bd;

    // An offline older than the online taken: ignored, the node stays.
    scada.publish(kState, state(false, 1500));
    ASSERT_TRUE(file_says(log, "older than the last one taken")) << gateway.log();
    farm.command(0, "key 9");
    ASSERT_TRUE(scada.await([&](const Received &r) {
        return r.topic == cmd("DDATA", "t1") && metric(codec.decode(r.payload), "Last Key")["value"] == 9;
    })) << seen(scada, codec);
    EXPECT_EQ(first(scada.all(), cmd("NDEATH")), scada.all().size()) << seen(scada, codec);

    // Offline for real: NDEATH with the session's bdSeq, a DISCONNECT, and
    // a new session that waits for the retained offline to change.
    scada.clear();
    scada.publish(kState, state(false, 3000), {}, true);
    const auto death = scada.await_topic(cmd("NDEATH"));
    ASSERT_TRUE(death) << seen(scada, codec);
    EXPECT_EQ(metric(codec.decode(death->payload), "bdSeq")["value"], bd["value"]);
    ASSERT_TRUE(file_says(dir.path() / "mosquitto.log", "Client gw disconnected.")) << gateway.log();
    ASSERT_TRUE(file_says(log, "STATE offline (timestamp 3000)", 2)) << gateway.log();
    scada.publish(kState, state(true, 4000), {}, true);
    const auto again = scada.await_topic(cmd("NBIRTH"));
    ASSERT_TRUE(again) << seen(scada, codec);
    EXPECT_TRUE(scada.await_topic(cmd("DBIRTH", "t1")));
    all = scada.all();
    EXPECT_EQ(first(all, cmd("DBIRTH", "t1")), first(all, cmd("NBIRTH")) + 1) << seen(scada, codec);
    EXPECT_EQ(metric(codec.decode(again->payload), "bdSeq")["value"], (bd["value"].get<int>() + 1) % 256);
}

TEST_F(SparkplugTest, BdSeqRisesOnRefusedConnectsAndContinuesFromItsFileAcrossRestarts) {
    BrokerOptions secured;
    secured.users = {{"gw", "right"}, {"scada", "scada"}};
    secured.acl = "pattern readwrite #\n";
    Site site(dir, secured, {"scada", "scada"});
    Broker &broker = site.broker;
    Farm &farm = site.farm;
    Codec &codec = site.codec;
    Client &scada = site.scada;
    const auto file = dir.path() / "gw.bdseq";

    // Refused three times and more: every CONNECT took a number.
    json config = sparkplug_config(broker.port(), farm.port(0));
    config["broker"]["username"] = "gw";
    config["broker"]["password"] = "wrong";
    auto refused = std::make_unique<GatewayProcess>(dir, config, "refused");
    ASSERT_TRUE(file_says(dir.path() / "refused.log", "refused the connection", 3)) << refused->log();
    EXPECT_EQ(refused->stop(SIGTERM), 0);
    const BdSeqRead after = read_bdseq(file.string());
    ASSERT_TRUE(after.last) << after.error;
    EXPECT_GE(*after.last, 2);

    // Each start continues from the file as the last one left it, or as
    // written here; 255 is followed by 0, a file that is not a number
    // starts over at 0.
    config["broker"]["password"] = "right";
    struct Case {
        std::optional<std::string> file;  // written before the start; nullopt: as the last run left it
        int first;
    };
    const Case cases[] = {{std::nullopt, (*after.last + 1) % 256}, {std::nullopt, (*after.last + 2) % 256},
                          {"255\n", 0},                            {"41", 42},
                          {"not a number\n", 0}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file.value_or("(left by the last run)"));
        if (c.file) std::ofstream(file) << *c.file;
        scada.clear();
        GatewayProcess gateway(dir, config, "gateway");
        const auto nbirth = scada.await_topic(cmd("NBIRTH"));
        ASSERT_TRUE(nbirth) << gateway.log();
        EXPECT_EQ(metric(codec.decode(nbirth->payload), "bdSeq")["value"], c.first);
        EXPECT_EQ(gateway.stop(SIGTERM), 0);
    }
}

TEST_F(SparkplugTest, CleanStopIsNdeathThenADisconnectThatKeepsTheWill) {
    Site site(dir);
    GatewayProcess gateway(dir, sparkplug_config(site.broker.port(), site.farm.port(0)));
    const auto nbirth = site.scada.await_topic(cmd("NBIRTH"));
    ASSERT_TRUE(nbirth);
    const json bd = metric(site.codec.decode(nbirth->payload), "bdSeq")["value"];
    EXPECT_EQ(gateway.stop(SIGTERM), 0);
    // The node's own NDEATH, then the will: the broker publishes it after a
    // DISCONNECT only for reason 0x04 (Disconnect with Will Message).
    std::vector<Received> deaths;
    for (const auto end = std::chrono::steady_clock::now() + 10s; deaths.size() < 2 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
        deaths.clear();
        for (const Received &r : site.scada.all()) {
            if (r.topic == cmd("NDEATH")) deaths.push_back(r);
        }
    }
    ASSERT_EQ(deaths.size(), 2u) << seen(site.scada, site.codec);
    for (const Received &r : deaths) EXPECT_EQ(metric(site.codec.decode(r.payload), "bdSeq")["value"], bd);
    // "disconnected": a DISCONNECT came; a dropped socket reads "closed its connection".
    EXPECT_EQ(count_in(dir.path() / "mosquitto.log", "Client gw disconnected."), 1u);
    EXPECT_EQ(count_in(dir.path() / "mosquitto.log", "Client gw closed its connection"), 0u);
}

}  // namespace
}  // namespace vq6120::gateway::test
