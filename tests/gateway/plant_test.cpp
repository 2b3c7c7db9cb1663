// The gateway as a plant runs it: scraped by Prometheus (its format checked
// by promtool), started by a service manager (a notify socket of the test's
// own), and reloaded on SIGHUP with terminals added, changed and removed.
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <poll.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <thread>

#include "fixture.hpp"
#include "scrape.hpp"
#include "harness.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;

using PlantTest = ScratchTest;

// A known sequence of events, commands and a terminal's loss, counted the
// same by the metrics and by the status topic; the text passes promtool.
TEST_F(PlantTest, MetricsAndStatusCountAKnownSequenceAndPromtoolTakesTheFormat) {
    need(VQ6120_PROMTOOL, "apt-get install prometheus");
    Plant plant(dir, 1);
    Client &client = plant.client;
    json config = test_config(plant.broker.port(), "gw", {{"t1", plant.farm.port(0)}, {"gone", free_port()}});
    config["status_interval"] = 1;
    const std::uint16_t port = free_port();
    GatewayProcess gateway(dir, config, "gateway", {"--metrics", "127.0.0.1:" + std::to_string(port)});
    ASSERT_TRUE(client.await_json(topic("t1", "state"), "state", "online"));

    plant.farm.command(0, "key 5");
    plant.farm.command(0, "serial 2 \"AB\"");
    ASSERT_TRUE(client.await_json(topic("t1", "key"), "key", 5));
    ASSERT_TRUE(client.await_topic(topic("t1", "serial/2")));
    EXPECT_EQ(command(client, "t1", "draw-pixel", {{"x", 1}, {"y", 1}}, "1")["ok"], true);
    EXPECT_EQ(command(client, "t1", "draw-pixel", {{"x", 2}, {"y", 2}}, "2")["ok"], true);
    EXPECT_EQ(command(client, "t1", "di", json::object(), "3")["ok"], true);
    ASSERT_TRUE(client.await_topic(topic("t1", "inputs")));
    EXPECT_EQ(command(client, "t1", "warp", json::object(), "4")["ok"], false);
    EXPECT_EQ(command(client, "t1", "draw-pixel", {{"x", 999}, {"y", 1}}, "5")["ok"], false);
    EXPECT_EQ(command(client, "gone", "draw-pixel", {{"x", 1}, {"y", 1}}, "6")["ok"], false);
    plant.farm.command(0, "restart 500ms");
    ASSERT_TRUE(client.await_json(topic("t1", "state"), "state", "offline"));
    client.clear();
    ASSERT_TRUE(client.await_json(topic("t1", "state"), "state", "online"));

    const auto m = scrape_until(port, "vq6120_gateway_terminal_connects_total", 2);
    EXPECT_EQ(m.at("vq6120_gateway_terminals{state=\"online\"}"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_terminals{state=\"online\"}") + m.at("vq6120_gateway_terminals{state=\"connecting\"}") +
                  m.at("vq6120_gateway_terminals{state=\"offline\"}"),
              2);
    EXPECT_EQ(m.at("vq6120_gateway_terminal_connects_total"), 2);
    double losses = 0, failures = 0;
    for (const auto &[name, v] : m) {
        if (name.starts_with("vq6120_gateway_terminal_losses_total{")) losses += v;
        if (name.starts_with("vq6120_gateway_terminal_connect_failures_total{")) failures += v;
    }
    EXPECT_EQ(losses, 1);
    EXPECT_GE(failures, 1);  // "gone", again and again
    EXPECT_EQ(m.at("vq6120_gateway_events_total{kind=\"key\"}"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_events_total{kind=\"serial\"}"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_events_total{kind=\"inputs\"}"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_events_total{kind=\"frame\"}"), 0);
    EXPECT_EQ(m.at("vq6120_gateway_commands_total{operation=\"draw-pixel\"}"), 2);
    EXPECT_EQ(m.at("vq6120_gateway_commands_total{operation=\"di\"}"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_commands_refused_total"), 3);
    EXPECT_EQ(m.at("vq6120_gateway_broker_connected"), 1);
    EXPECT_EQ(m.at("vq6120_gateway_broker_reconnects_total"), 0);
    EXPECT_EQ(m.at("vq6120_gateway_broker_queue_messages"), 0);
    EXPECT_EQ(m.at("vq6120_gateway_event_publish_seconds_count"), 3);
    EXPECT_EQ(m.at("vq6120_gateway_event_publish_seconds_bucket{le=\"+Inf\"}"), 3);

    // The status topic says the same, each counter in its place.
    const auto status = client.await(
        [](const Received &r) {
            const json j = r.json();
            return r.topic == "vq6120/_gateway/gw/status" && j.value("events", -1) == 3 && j.value("commands", -1) == 3 &&
                   j.value("refused", -1) == 3 && j.value("online", -1) == 1 && j.value("terminals", -1) == 2;
        },
        5s);
    EXPECT_TRUE(status) << "no status with 3 events, 3 commands, 3 refused, 1 of 2 online";

    std::string text;
    scrape(port, &text);
    const auto file = dir.write("scrape.txt", text);
    Child check({"/bin/sh", "-c", std::string(VQ6120_PROMTOOL) + " check metrics < " + file.string()}, false,
                dir.path() / "promtool.log");
    EXPECT_EQ(check.stop(0), 0) << text;
    EXPECT_EQ(gateway.stop(SIGTERM), 0);
}

// A datagram socket of the test's own, named in NOTIFY_SOCKET as a service
// manager would.
class NotifySocket {
public:
    explicit NotifySocket(const std::filesystem::path &path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        if (::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0) fail("cannot bind " + path.string());
    }
    ~NotifySocket() { ::close(fd_); }
    // The next datagram within `limit`.
    std::optional<std::string> next(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(limit.count())) != 1) return std::nullopt;
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n < 0 ? std::nullopt : std::optional<std::string>(std::string(buf, static_cast<std::size_t>(n)));
    }
    // Datagrams until one contains `what`; those before it go to `before`.
    std::optional<std::string> until(const std::string &what, std::vector<std::string> *before = nullptr,
                                     std::chrono::milliseconds limit = 10s) {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto m = next(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()));
            if (m && m->find(what) != std::string::npos) return m;
            if (m && before != nullptr) before->push_back(*m);
        }
        return std::nullopt;
    }
    std::string env() const { return "NOTIFY_SOCKET=" + path_.string(); }

private:
    std::filesystem::path path_;
    int fd_ = -1;
};

// READY only once the broker is up (the terminal list is added at start),
// STATUS with the online count, the watchdog pinged from the loop all along,
// RELOADING then READY on SIGHUP, STOPPING on SIGTERM.
TEST_F(PlantTest, TheServiceManagerHearsReadinessStatusWatchdogReloadAndStop) {
    Broker broker(dir);
    broker.stop();
    Farm farm(dir, 1);
    NotifySocket notify(dir.path() / "notify");
    GatewayProcess gateway(dir, test_config(broker.port(), "gw", {{"t1", farm.port(0)}, {"gone", free_port()}}), "gateway", {},
                           {notify.env(), "WATCHDOG_USEC=200000"});
    // Broker away: the loop runs and pings; nobody is told it is ready.
    std::vector<std::string> before;
    ASSERT_FALSE(notify.until("READY=1", &before, 1s));
    EXPECT_GE(std::count(before.begin(), before.end(), "WATCHDOG=1"), 3) << before.size();

    broker.start();
    const auto ready = notify.until("READY=1");
    ASSERT_TRUE(ready);
    const std::string up = "STATUS=1 of 2 terminals online; broker connected";
    if (ready->find(up) == std::string::npos) {
        EXPECT_NE(ready->find("STATUS="), std::string::npos) << *ready;
        EXPECT_TRUE(notify.until(up));
    }

    gateway.signal(SIGHUP);
    EXPECT_TRUE(notify.until("RELOADING=1"));
    EXPECT_TRUE(notify.until("READY=1"));
    EXPECT_TRUE(notify.until("WATCHDOG=1"));
    gateway.signal(SIGTERM);
    EXPECT_TRUE(notify.until("STOPPING=1"));
    EXPECT_EQ(gateway.stop(SIGTERM), 0);
}

// SIGHUP: a file with a mistake changes nothing; a good one adds, changes and
// removes terminals and leaves the others' connections alone.
TEST_F(PlantTest, ReloadAppliesOnlyTheDifferencesAndABadFileNothing) {
    Plant plant(dir, 5);
    Client &client = plant.client;
    std::vector<std::pair<std::string, std::uint16_t>> list;
    for (std::size_t i = 0; i < 4; ++i) list.emplace_back("t" + std::to_string(i), plant.farm.port(i));
    json config = test_config(plant.broker.port(), "gw", list);
    const std::uint16_t port = free_port();
    GatewayProcess gateway(dir, config, "gateway", {"--metrics", std::to_string(port)});
    for (const auto &[name, p] : list) ASSERT_TRUE(client.await_json(topic(name, "state"), "state", "online")) << name;
    ASSERT_EQ(scrape_until(port, "vq6120_gateway_terminal_connects_total", 4)["vq6120_gateway_terminal_connects_total"], 4);

    json bad = config;
    bad["terminals"][0]["port"] = 0;
    bad["terminals"][3]["name"] = "t2";
    gateway.rewrite(bad.dump());
    gateway.signal(SIGHUP);
    EXPECT_EQ(scrape_until(port, "vq6120_gateway_reload_failures_total", 1)["vq6120_gateway_reload_failures_total"], 1);
    const std::string log = gateway.log();
    EXPECT_NE(log.find("reload refused, nothing changed"), std::string::npos) << log;
    EXPECT_NE(log.find("/terminals/0/port"), std::string::npos) << log;
    EXPECT_NE(log.find("/terminals/3/name"), std::string::npos) << log;

    client.clear();
    json next = config;
    next["terminals"].erase(0);                       // t0 goes
    next["terminals"][0]["auto_report"] = 5;          // t1 changes
    next["terminals"].push_back({{"name", "t4"}, {"address", "127.0.0.1"}, {"port", plant.farm.port(4)}});
    gateway.rewrite(next.dump());
    gateway.signal(SIGHUP);
    const auto removed = client.await_json(topic("t0", "state"), "state", "offline");
    ASSERT_TRUE(removed);
    EXPECT_EQ(removed->json()["reason"], "removed from the configuration");
    EXPECT_TRUE(client.await_json(topic("t1", "state"), "state", "online"));
    EXPECT_TRUE(client.await_json(topic("t4", "state"), "state", "online"));
    const auto m = scrape_until(port, "vq6120_gateway_terminal_connects_total", 6);
    EXPECT_EQ(m.at("vq6120_gateway_terminal_connects_total"), 6);  // t1 again and t4: nobody else reconnected
    EXPECT_EQ(m.at("vq6120_gateway_terminals{state=\"online\"}"), 4);
    EXPECT_EQ(m.at("vq6120_gateway_reloads_total"), 1);
    for (const Received &r : client.all()) {
        EXPECT_FALSE(r.topic == topic("t2", "state") || r.topic == topic("t3", "state")) << r.topic << " " << r.payload;
    }
    // The new and the kept are served; the removed one is answered as a name
    // the gateway does not serve.
    EXPECT_EQ(command(client, "t4", "draw-pixel", {{"x", 4}, {"y", 4}}, "new")["ok"], true);
    EXPECT_EQ(command(client, "t2", "draw-pixel", {{"x", 2}, {"y", 2}}, "kept")["ok"], true);
    const json gone = command(client, "t0", "draw-pixel", {{"x", 1}, {"y", 1}}, "gone");
    EXPECT_EQ(gone["ok"], false) << gone.dump();
    EXPECT_NE(gone.value("error", "").find("'t0' is not served"), std::string::npos) << gone.dump();
    EXPECT_EQ(gateway.stop(SIGTERM), 0);
}

}  // namespace
}  // namespace vq6120::gateway::test
