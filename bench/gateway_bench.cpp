// The gateway under plant load: mosquitto, the simulator farm, the gateway
// and a subscriber, all on this machine. Every farm terminal sends serial data
// carrying its send time (CLOCK_MONOTONIC) at RATE frames per second; the
// subscriber takes each event's latency from that stamp to its own receipt.
//
// The baseline, in the same run: the same number of messages per second
// published straight to the broker by one client, stamped the same way, to
// the same subscriber. The ratio says what the terminals' TCP links and the
// gateway add to what the broker alone costs.
//
// Then, with every terminal still online: the CPU a metrics scrape costs the
// gateway (in its HTTP thread; the loop is not involved), and a reload of the
// configuration that changes 10 terminals, counting the connects it causes.
// Last, the same traffic through a gateway in Sparkplug B mode (protobuf
// DDATA), its p99 compared with the JSON mode's of the same run.
//
//   gateway_bench [--terminals 1000] [--rate 10] [--seconds 10] [--warmup 2]
//
// With --pictures, instead: one client sends terminal t0 pictures of about
// 4 MiB (valid and hostile in turn), each as soon as the previous one is
// answered, while the other terminals' events are measured; their p99 with
// and without that load in the same run, and with the same pictures at the
// same pace sent through the broker to a client that only reads them (the
// broker's share of the delay),
// and the gateway's peak RSS.
//
//   gateway_bench --pictures [--terminals 100] [--rate 10] [--seconds 10]
//
// With --idle, instead: every terminal on auto report 10 (a report each
// second) with inputs that never change and no other traffic; the messages
// per second the gateway publishes to the broker, in JSON and in Sparkplug B
// mode. Reports with nothing new publish nothing: what is left is the
// gateway's own status.
//
//   gateway_bench --idle [--terminals 1000] [--seconds 10] [--warmup 2]
//
// With --store, instead: p50/p99 of the same traffic through a JSON gateway
// without a store and one with a store, in turns (without, with, with,
// without; half of SECONDS each), and the ratio of their p99.
//
//   gateway_bench --store [--terminals 1000] [--rate 10] [--seconds 10]
//
// With --outage, instead: the broker is stopped for SECONDS while the
// terminals send, once with the events waiting in memory and once in the
// SQLite store; for each, the gateway's CPU per event kept, and, once the
// broker is back, how fast the backlog drains (to a subscriber whose
// session outlived the restart), the store's figures as ratios to memory's.
// The subscriber counts each terminal's sequence numbers against what the
// farm says it sent: lost and duplicated events.
//
//   gateway_bench --outage [--terminals 1000] [--rate 10] [--seconds 10]
//
// With --kill, instead: the same outage with the store, the gateway
// SIGKILLed half-way and started again on the same store. Every event the
// store held at the kill (read from the file before the restart) must
// arrive; the only others allowed missing are, per terminal, those sent
// after the last one stored and before the restart (on their way to, or
// in, the killed process).
//
//   gateway_bench --kill [--terminals 1000] [--rate 10] [--seconds 10]
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <httplib.h>
#include <mosquitto.h>

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <optional>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "harness.hpp"
#include "backlog.hpp"
#include "payloads.hpp"
#include "sparkplug.hpp"

namespace {

using namespace vq6120::gateway;
using namespace vq6120::gateway::test;
using nlohmann::json;

std::uint64_t monotonic_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

// CPU seconds (user + system) a process has used so far.
double cpu_seconds(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    std::istringstream fields(text.substr(text.rfind(')') + 2));  // after the command name
    std::string f;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> f; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(f);
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

// Latencies of stamped serial events, in microseconds.
class Latencies {
public:
    void record(const mosquitto_message &m) {
        const auto j = json::parse(static_cast<const char *>(m.payload), static_cast<const char *>(m.payload) + m.payloadlen,
                                   nullptr, false);
        std::string bytes;
        if (!j.is_object() || !j.contains("data") || !unbase64(j["data"].get<std::string>(), bytes)) {
            ++malformed_;
            return;
        }
        stamped(bytes);
    }
    // DDATA of a Sparkplug B edge node: the bytes of its Serial/1 metric.
    void record_sparkplug(const mosquitto_message &m) {
        const auto p = sparkplug::decode({static_cast<const char *>(m.payload), static_cast<std::size_t>(m.payloadlen)});
        if (!p || p->metrics.size() != 1 || p->metrics[0].name != "Serial/1" || !p->metrics[0].value) {
            ++malformed_;
            return;
        }
        stamped(std::get<std::string>(*p->metrics[0].value));
    }
    void stamped(const std::string &bytes) {
        if (bytes.size() != 16) {
            ++malformed_;
            return;
        }
        std::uint64_t sent = 0;
        std::memcpy(&sent, bytes.data() + 8, 8);  // little-endian, as on this machine
        const std::uint64_t now = monotonic_ns();
        std::lock_guard lock(mutex_);
        if (recording_) us_.push_back(static_cast<std::uint32_t>(now > sent ? (now - sent) / 1000 : 0));
    }
    void start() {
        std::lock_guard lock(mutex_);
        us_.clear();
        recording_ = true;
    }
    std::vector<std::uint32_t> stop() {
        std::lock_guard lock(mutex_);
        recording_ = false;
        std::sort(us_.begin(), us_.end());
        return us_;
    }

private:
    std::mutex mutex_;
    bool recording_ = false;
    std::vector<std::uint32_t> us_;
    std::atomic<std::uint64_t> malformed_{0};
};

double at(const std::vector<std::uint32_t> &sorted, double q) {
    return sorted.empty() ? 0 : sorted[std::min(sorted.size() - 1, static_cast<std::size_t>(q * static_cast<double>(sorted.size())))] / 1000.0;
}

struct Run {
    std::vector<std::uint32_t> us;
    double seconds = 0;
};

void report(const char *name, const Run &r, std::size_t expected) {
    std::printf("%-9s events %zu of %zu  p50 %.2f ms  p99 %.2f ms  p99.9 %.2f ms  max %.2f ms\n", name, r.us.size(),
                expected, at(r.us, 0.5), at(r.us, 0.99), at(r.us, 0.999), r.us.empty() ? 0 : r.us.back() / 1000.0);
}

// Publishes `per_second` stamped messages per second straight to the broker
// for `seconds`, in bursts every millisecond as the farm's terminals together
// would.
void publish_directly(std::uint16_t port, double per_second, double seconds) {
    mosquitto *m = mosquitto_new("bench-direct", true, nullptr);
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);  // as the gateway does
    if (mosquitto_connect(m, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) fail("direct publisher cannot connect");
    mosquitto_loop_start(m);
    const std::uint64_t start = monotonic_ns();
    std::uint64_t sent = 0;
    for (;;) {
        const double elapsed = static_cast<double>(monotonic_ns() - start) / 1e9;
        if (elapsed >= seconds) break;
        for (; static_cast<double>(sent) < elapsed * per_second; ++sent) {
            std::uint8_t stamp[16];
            const std::uint64_t now = monotonic_ns();
            std::memcpy(stamp, &sent, 8);
            std::memcpy(stamp + 8, &now, 8);
            const std::string payload = json{{"data", base64(stamp)}, {"length", 16}, {"ts", timestamp()}}.dump();
            mosquitto_publish(m, nullptr, "vq6120/direct/serial/1", static_cast<int>(payload.size()), payload.data(), 0, false);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    mosquitto_disconnect(m);
    mosquitto_loop_stop(m, false);
    mosquitto_destroy(m);
}

// The largest resident set a process has had, MiB.
double peak_rss_mib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

// "1.02 0.80 0.61": the machine is shared, its load belongs with a figure.
std::string load_average() {
    std::string one, five, fifteen;
    std::ifstream("/proc/loadavg") >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

// Pictures of about 4 MiB for cmd/image, in turn: a valid PNG of noise (it
// does not compress), a 16-bit 800 x 800 PPM, and the same PNG with its image
// data corrupted past the middle (found out late, after most of the work).
std::vector<std::string> heavy_pictures() {
    std::uint32_t seed = 12345;
    const auto noise = [&](std::uint32_t, std::uint32_t) {
        seed = seed * 1664525u + 1013904223u;
        return static_cast<std::uint8_t>(seed >> 24);
    };
    std::string valid = grey_png(2000, 2000, {}, noise);
    std::string ppm = "P6\n800 800\n65535\n";
    ppm.append(800 * 800 * 6, '\x55');
    std::string corrupt = valid;
    for (std::size_t i = corrupt.size() * 3 / 5; i < corrupt.size() - 12; i += 4096) corrupt[i] = static_cast<char>(~corrupt[i]);
    std::vector<std::string> out;
    for (const std::string *p : {&valid, &ppm, &corrupt}) {
        out.push_back(json{{"png", base64({reinterpret_cast<const std::uint8_t *>(p->data()), p->size()})}}.dump());
    }
    return out;
}

// Sends t0 the pictures in turn, each when the one before is answered,
// until `stop`. With `every` > 0 instead: the same pictures to a topic
// nobody subscribes to, one each `every`: what the broker alone makes of
// the same bytes.
struct PictureLoad {
    std::size_t sent = 0, shown = 0, refused = 0, unanswered = 0;
    void run(std::uint16_t port, const std::atomic<bool> &stop, std::chrono::microseconds every = {}) {
        const std::vector<std::string> pictures = heavy_pictures();
        Client sink(port, "bench-sink");
        sink.divert([](const mosquitto_message &) {});
        if (every.count() > 0) sink.subscribe("bench/sink/image");
        Client client(port, "bench-pictures");
        client.subscribe("vq6120/t0/cmd/result");
        auto due = std::chrono::steady_clock::now();
        while (!stop) {
            const std::string cid = "p" + std::to_string(sent);
            const std::string &picture = pictures[sent % pictures.size()];
            ++sent;
            if (every.count() > 0) {
                client.publish("bench/sink/image", picture, cid);
                due += every;
                std::this_thread::sleep_until(due);
                continue;
            }
            client.publish("vq6120/t0/cmd/image", picture, cid);
            const auto r = client.await([&](const Received &m) { return m.correlation == cid && m.topic.ends_with("/result"); }, 30s);
            client.clear();
            if (!r) {
                ++unanswered;
            } else {
                ++(r->json()["ok"] == true ? shown : refused);
            }
        }
    }
};

// One sample of the gateway's metrics; -1 when absent.
double metric(std::uint16_t port, const std::string &name) {
    httplib::Client http("127.0.0.1", port);
    const auto res = http.Get("/metrics");
    if (!res) fail("no metrics");
    const auto at = res->body.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stod(res->body.substr(at + name.size() + 2));
}

// Events the gateway's loop took longer than `le` seconds to hand to the
// broker connection, from its own histogram, since it started.
double slower(std::uint16_t metrics_port, const std::string &le) {
    return metric(metrics_port, "vq6120_gateway_event_publish_seconds_count") -
           metric(metrics_port, "vq6120_gateway_event_publish_seconds_bucket{le=\"" + le + "\"}");
}

// Messages per second to the broker while every terminal reports unchanged
// inputs each second, in JSON mode and then as an edge node.
int idle(std::size_t terminals, double seconds, double warmup) {
    ScratchDir dir;
    Broker broker(dir);
    Farm farm(dir, terminals);
    std::vector<std::pair<std::string, std::uint16_t>> list;
    for (std::size_t i = 0; i < terminals; ++i) list.emplace_back("t" + std::to_string(i), farm.port(i));
    json config = test_config(broker.port(), "gw-idle", list);
    for (json &t : config["terminals"]) t["auto_report"] = 10;
    std::atomic<std::size_t> online{0}, messages{0};
    Client subscriber(broker.port(), "bench-idle");
    subscriber.divert([&](const mosquitto_message &m) {
        const std::string_view topic(m.topic);
        const std::string_view payload(static_cast<const char *>(m.payload), static_cast<std::size_t>(m.payloadlen));
        if (topic.starts_with("spBv1.0/idle/DBIRTH/") ||
            (topic.ends_with("/state") && payload.find("\"online\"") != std::string_view::npos)) {
            ++online;
        }
        ++messages;
    });
    subscriber.subscribe("vq6120/#");
    subscriber.subscribe("spBv1.0/#");
    const auto rate = [&](const char *mode, const json &c) {
        online = 0;
        GatewayProcess gateway(dir, c, mode);
        const auto up_from = std::chrono::steady_clock::now();
        while (online < terminals && std::chrono::steady_clock::now() - up_from < std::chrono::seconds(120)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
        const std::size_t m0 = messages;
        const double c0 = cpu_seconds(gateway.pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
        const double per_second = static_cast<double>(messages - m0) / seconds;
        const double cpu = (cpu_seconds(gateway.pid()) - c0) / seconds;
        gateway.stop(SIGTERM);
        std::printf("%-12s %zu of %zu online: %.1f messages/s to the broker, gateway cpu %.1f %%\n", mode, online.load(),
                    terminals, per_second, 100 * cpu);
    };
    std::printf("%zu terminals, auto report 10 (1 s), inputs unchanged, %.1f s measured after %.1f s\n", terminals, seconds,
                warmup);
    rate("json", config);
    config["sparkplug"] = {{"group_id", "idle"}, {"edge_node_id", "gw-idle"}};
    rate("sparkplug", config);
    return 0;
}

// Which of each terminal's traffic sequence numbers (the farm counts them
// from 0 per terminal) reached the subscriber, and how often.
class Ledger {
public:
    // The terminal's index ("t17": 17) and the sequence number in a JSON
    // serial event's stamp; nullopt for anything else.
    static std::optional<std::pair<std::size_t, std::uint64_t>> read(std::string_view terminal, std::string_view payload) {
        std::size_t t = 0;
        const char *end = terminal.data() + terminal.size();
        if (terminal.size() < 2 || terminal[0] != 't' || std::from_chars(terminal.data() + 1, end, t).ptr != end) return std::nullopt;
        const auto j = json::parse(payload, nullptr, false);
        std::string bytes;
        if (!j.is_object() || !j.contains("data") || !j["data"].is_string() || !unbase64(j["data"].get<std::string>(), bytes) ||
            bytes.size() != 16) {
            return std::nullopt;
        }
        std::uint64_t seq = 0;
        std::memcpy(&seq, bytes.data(), 8);  // little-endian, as on this machine
        if (t >= kMaxTerminals || seq >= kMaxSequence) return std::nullopt;
        return std::pair{t, seq};
    }
    // A message on vq6120/T/serial/1.
    void record(const mosquitto_message &m) {
        std::string_view terminal(m.topic);
        terminal.remove_prefix(std::min(terminal.size(), terminal.find('/') + 1));
        const auto stamp =
            read(terminal.substr(0, terminal.find('/')), {static_cast<const char *>(m.payload), static_cast<std::size_t>(m.payloadlen)});
        std::lock_guard lock(mutex_);
        if (!stamp) {
            ++malformed_;
            return;
        }
        if (copies_.size() <= stamp->first) copies_.resize(stamp->first + 1);
        auto &row = copies_[stamp->first];
        if (row.size() <= stamp->second) row.resize(stamp->second + 1, 0);
        if (row[stamp->second]++ == 0) {
            ++unique_;
        } else {
            ++duplicates_;
        }
    }
    std::size_t unique() {
        std::lock_guard lock(mutex_);
        return unique_;
    }
    std::size_t duplicates() {
        std::lock_guard lock(mutex_);
        return duplicates_;
    }
    std::size_t malformed() {
        std::lock_guard lock(mutex_);
        return malformed_;
    }
    // Terminal t's copies received, by sequence number, up to the highest.
    std::vector<std::uint32_t> row(std::size_t t) {
        std::lock_guard lock(mutex_);
        return t < copies_.size() ? std::vector<std::uint32_t>(copies_[t].begin(), copies_[t].end()) : std::vector<std::uint32_t>{};
    }

private:
    static constexpr std::size_t kMaxTerminals = 5000, kMaxSequence = 10000000;
    std::mutex mutex_;
    std::vector<std::vector<std::uint32_t>> copies_;
    std::size_t unique_ = 0, duplicates_ = 0, malformed_ = 0;
};

// Every event in a store file, as terminal -> sequence numbers: read while
// no gateway has it open (after a SIGKILL), with the gateway's own code.
std::vector<std::vector<std::uint64_t>> stored(const std::filesystem::path &path, std::size_t terminals) {
    StoreConfig config;
    config.path = path.string();
    Store store(config, false);
    std::vector<std::vector<std::uint64_t>> held(terminals);
    for (auto batch = store.take(4096); !batch.empty(); batch = store.take(4096)) {
        for (const Pending &p : batch) {
            const auto stamp = Ledger::read(p.terminal, p.payload);
            if (stamp && stamp->first < terminals) held[stamp->first].push_back(stamp->second);
        }
    }
    return held;
}

// How the events of an outage wait: in memory, in the store, or in the
// store with the gateway SIGKILLed half-way and started again on it.
enum class Keep { Memory, Store, Killed };

struct OutageFigures {
    double cpu_per_event = 0, drain_rate = 0;
};

// One outage of `seconds` while every terminal sends `rate` events/s; prints
// what was kept, the gateway's CPU per event kept and the drain rate, and
// what the subscriber (its session outlives the broker's restart) received
// of what the farm sent.
OutageFigures outage(const ScratchDir &dir, Keep keep, std::size_t terminals, double rate, double seconds) {
    const char *kind = keep == Keep::Memory ? "memory" : keep == Keep::Store ? "store" : "killed";
    BrokerOptions persistent;
    persistent.persistent = true;
    persistent.unbounded_queues = true;  // the subscriber may come back after the drain began
    Broker broker(dir, persistent);
    Farm farm(dir, terminals);
    Ledger ledger;
    std::atomic<std::size_t> historical{0};
    Client subscriber(broker.port(), std::string("bench-") + kind, User{}, true);
    subscriber.divert([&](const mosquitto_message &m) {
        const std::string_view payload(static_cast<const char *>(m.payload), static_cast<std::size_t>(m.payloadlen));
        ledger.record(m);
        if (payload.find("\"historical\":true") != std::string_view::npos) ++historical;
    });
    subscriber.subscribe("vq6120/+/serial/1");
    std::vector<std::pair<std::string, std::uint16_t>> list;
    for (std::size_t i = 0; i < terminals; ++i) list.emplace_back("t" + std::to_string(i), farm.port(i));
    json config = test_config(broker.port(), std::string("gw-") + kind, list);
    // Room for the whole outage: 10 s at 10,000 events/s is 100,000 events
    // of about 100 bytes, within the store's default bounds (1,000,000
    // events, 256 MiB) but ten times the memory queue's default.
    config["broker"]["queue_limit"] = 10000000;
    const auto path = dir.path() / "bench.events";
    if (keep != Keep::Memory) config["store"] = {{"path", path.string()}};
    std::uint16_t metrics_port = 0;
    std::unique_ptr<GatewayProcess> gateway;
    const auto start_gateway = [&](const std::string &name) {
        metrics_port = free_port();
        gateway = std::make_unique<GatewayProcess>(dir, config, name, std::vector<std::string>{"--metrics", std::to_string(metrics_port)});
        const auto from = std::chrono::steady_clock::now();
        for (double online = -1; online != static_cast<double>(terminals);) {
            if (std::chrono::steady_clock::now() - from > std::chrono::seconds(60)) fail("terminals not online through " + name);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            try {
                online = metric(metrics_port, "vq6120_gateway_terminals{state=\"online\"}");
            } catch (const std::exception &) {  // not serving its metrics yet
            }
        }
    };
    const auto waiting = [&] { return metric(metrics_port, "vq6120_gateway_store_events"); };
    start_gateway(std::string("gateway-") + kind);

    broker.stop();
    while (metric(metrics_port, "vq6120_gateway_broker_connected") != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    double cpu0 = cpu_seconds(gateway->pid()), cpu = 0;
    farm.command("traffic " + std::to_string(rate) + " serial 1");
    std::vector<std::vector<std::uint64_t>> held;
    std::size_t held_count = 0;
    double restarted_in = 0;
    if (keep == Keep::Killed) {
        // Half-way through, SIGKILL; what the store holds then is what the
        // gateway must not lose. The terminals send nothing while no
        // gateway is connected to them; what they sent just before the kill
        // and no gateway read is theirs, not the gateway's, to lose.
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds / 2));
        cpu += cpu_seconds(gateway->pid()) - cpu0;
        gateway->stop(SIGKILL);
        const auto killed_at = std::chrono::steady_clock::now();
        held = stored(path, terminals);
        for (const auto &h : held) held_count += h.size();
        start_gateway("gateway-restarted");
        restarted_in = std::chrono::duration<double>(std::chrono::steady_clock::now() - killed_at).count();
        cpu0 = cpu_seconds(gateway->pid());
        std::this_thread::sleep_for(std::chrono::duration<double>(std::max(0.0, seconds / 2 - restarted_in)));
    } else {
        std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    }
    farm.command("traffic 0");
    double kept = -1;
    for (double now = waiting(); now != kept; now = waiting()) {
        kept = now;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    cpu += cpu_seconds(gateway->pid()) - cpu0;
    const double bytes = metric(metrics_port, "vq6120_gateway_store_bytes");
    const std::uint64_t sent = farm.traffic_sent();

    const double drain_cpu0 = cpu_seconds(gateway->pid());
    const auto back = std::chrono::steady_clock::now();
    broker.start();
    while (waiting() > 0 && std::chrono::steady_clock::now() - back < std::chrono::seconds(300)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const double drained_in = std::chrono::duration<double>(std::chrono::steady_clock::now() - back).count();
    const double drain_cpu = cpu_seconds(gateway->pid()) - drain_cpu0;
    // The broker may still be handing the last ones to the subscriber.
    for (auto progress = std::chrono::steady_clock::now(); ledger.unique() < sent;) {
        const std::size_t before = ledger.unique();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        if (ledger.unique() != before) progress = std::chrono::steady_clock::now();
        if (std::chrono::steady_clock::now() - progress > std::chrono::seconds(5)) break;
    }
    const double dropped = metric(metrics_port, "vq6120_gateway_store_dropped_total");
    const double rss = peak_rss_mib(gateway->pid());
    gateway->stop(SIGTERM);
    const OutageFigures f{1e6 * cpu / std::max(kept, 1.0), kept / drained_in};
    const std::size_t received = ledger.unique();
    std::printf("%-6s %.0f events kept (%.1f MB) at the outage's end, %.0f dropped; gateway CPU %.1f us per event kept; "
                "drained in %.2f s from the broker's restart (%.0f events/s, gateway CPU %.1f us per event drained); "
                "gateway peak RSS %.1f MiB\n",
                kind, kept, bytes / 1e6, dropped, f.cpu_per_event, drained_in, f.drain_rate, 1e6 * drain_cpu / std::max(kept, 1.0), rss);
    std::printf("       farm sent %llu; the subscriber received %zu of them (%zu historical messages, %zu duplicates, %zu "
                "not a stamped event)",
                static_cast<unsigned long long>(sent), received, historical.load(), ledger.duplicates(), ledger.malformed());
    if (keep != Keep::Killed) {
        std::printf(": %lld lost\n", static_cast<long long>(sent) - static_cast<long long>(received));
        return f;
    }
    // Per terminal: the store's events at the kill must all arrive; of the
    // others, only one run right after the last one stored may be missing
    // (sent to the killed gateway, not read or not committed).
    std::size_t held_missing = 0, at_kill = 0;
    for (std::size_t t = 0; t < terminals; ++t) {
        const std::vector<std::uint32_t> copies = ledger.row(t);
        const auto got = [&](std::uint64_t s) { return s < copies.size() && copies[s] > 0; };
        for (const std::uint64_t s : held[t]) held_missing += !got(s);
        std::uint64_t s = held[t].empty() ? 0 : *std::max_element(held[t].begin(), held[t].end()) + 1;
        for (; s < copies.size() && !got(s); ++s) ++at_kill;
    }
    const long long elsewhere = static_cast<long long>(sent) - static_cast<long long>(received) - static_cast<long long>(at_kill);
    std::printf("\n       SIGKILL half-way, restarted on the store, terminals online again %.2f s after the kill; the store "
                "held %zu events at the kill, %zu of them not received; %zu sent to the killed gateway after the last it "
                "stored (not its to lose); %lld lost otherwise\n",
                restarted_in, held_count, held_missing, at_kill, elsewhere);
    return f;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"1,000 terminals' events through the gateway to a subscriber: latency and CPU."};
    std::size_t terminals = 1000;
    double rate = 10, seconds = 10, warmup = 2;
    app.add_option("--terminals", terminals, "farm terminals, all served by one gateway")->check(CLI::Range(1, 5000));
    app.add_option("--rate", rate, "events per second from each terminal")->check(CLI::Range(0.1, 1000.0));
    app.add_option("--seconds", seconds, "measured time")->check(CLI::Range(1.0, 600.0));
    app.add_option("--warmup", warmup, "traffic before measuring")->check(CLI::Range(0.0, 60.0));
    bool pictures = false, outages = false, kill = false, with_store = false;
    app.add_flag("--outage", outages, "the broker away for --seconds: the backlog's cost per event and its drain, memory and store");
    app.add_flag("--store", with_store, "instead of the other runs: p99 without a store and with one, in turns");
    app.add_flag("--kill", kill, "the broker away for --seconds and the gateway SIGKILLed half-way: what the store held arrives");
    app.add_flag("--pictures", pictures, "the other terminals' latency while t0 is sent 4 MiB pictures back to back");
    bool idle_only = false;
    app.add_flag("--idle", idle_only, "messages per second with every terminal reporting unchanged inputs each second");
    CLI11_PARSE(app, argc, argv);
    if (idle_only) {
        try {
            return idle(terminals, seconds, warmup);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "gateway_bench: %s\n", e.what());
            return 1;
        }
    }
    if (pictures && terminals < 2) {
        std::fprintf(stderr, "gateway_bench: --pictures needs 2 terminals or more\n");
        return 2;
    }
    const auto expected = static_cast<std::size_t>(static_cast<double>(terminals) * rate * seconds);

    try {
        if (outages) {
            std::printf("%zu terminals x %.1f events/s; the broker stopped for %.0f s\n", terminals, rate, seconds);
            ScratchDir memory_dir, store_dir;
            const auto memory = outage(memory_dir, Keep::Memory, terminals, rate, seconds);
            const auto store = outage(store_dir, Keep::Store, terminals, rate, seconds);
            std::printf("store/memory: CPU per event kept %.2f, drain rate %.2f; load average %s\n",
                        store.cpu_per_event / std::max(memory.cpu_per_event, 1e-9),
                        store.drain_rate / std::max(memory.drain_rate, 1e-9), load_average().c_str());
            return 0;
        }
        if (kill) {
            std::printf("%zu terminals x %.1f events/s; the broker stopped for %.0f s, the gateway SIGKILLed half-way\n",
                        terminals, rate, seconds);
            ScratchDir killed_dir;
            outage(killed_dir, Keep::Killed, terminals, rate, seconds);
            std::printf("load average %s\n", load_average().c_str());
            return 0;
        }
        ScratchDir dir;
        Broker broker(dir);
        Farm farm(dir, terminals);
        Latencies latencies;
        std::atomic<std::size_t> online{0};
        Client subscriber(broker.port(), "bench-subscriber");
        subscriber.divert([&](const mosquitto_message &m) {
            const std::string_view topic(m.topic);
            if (topic.ends_with("/serial/1")) {
                if (!(pictures && topic == "vq6120/t0/serial/1")) latencies.record(m);
            } else if (topic.starts_with("spBv1.0/bench/DDATA/")) {
                latencies.record_sparkplug(m);
            } else if (topic.starts_with("spBv1.0/bench/DBIRTH/")) {
                ++online;
            } else if (topic.ends_with("/state")) {
                const std::string_view payload(static_cast<const char *>(m.payload), static_cast<std::size_t>(m.payloadlen));
                if (payload.find("\"online\"") != std::string_view::npos) ++online;
            }
        });
        subscriber.subscribe("vq6120/+/serial/1");
        subscriber.subscribe("vq6120/+/state");
        subscriber.subscribe("spBv1.0/bench/#");

        if (pictures) {
            std::vector<std::pair<std::string, std::uint16_t>> list;
            for (std::size_t i = 0; i < terminals; ++i) list.emplace_back("t" + std::to_string(i), farm.port(i));
            const std::uint16_t metrics_port = free_port();
            GatewayProcess gateway(dir, test_config(broker.port(), "gw-bench", list), "gateway",
                                   {"--metrics", std::to_string(metrics_port)});
            const auto slower_than = [&](const char *le) { return slower(metrics_port, le); };
            while (online < terminals) std::this_thread::sleep_for(std::chrono::milliseconds(50));
            const auto measure = [&] {
                farm.command("traffic " + std::to_string(rate) + " serial 1");
                std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
                latencies.start();
                std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                farm.command("traffic 0");
                std::this_thread::sleep_for(std::chrono::milliseconds(500));
                return Run{latencies.stop(), seconds};
            };
            const Run quiet = measure();
            const double slow10 = slower_than("0.01"), slow100 = slower_than("0.1");
            std::atomic<bool> stop{false};
            PictureLoad load;
            std::thread loader([&] { load.run(broker.port(), stop); });
            const Run loaded = measure();
            stop = true;
            loader.join();
            const double rss = peak_rss_mib(gateway.pid());
            const double loaded10 = slower_than("0.01") - slow10, loaded100 = slower_than("0.1") - slow100;
            // The same bytes at the same pace through the broker only.
            stop = false;
            PictureLoad bytes_only;
            const auto pace = std::chrono::microseconds(
                static_cast<long long>((warmup + seconds + 0.5) * 1e6 / static_cast<double>(std::max<std::size_t>(load.sent, 1))));
            std::thread broker_loader([&] { bytes_only.run(broker.port(), stop, pace); });
            const Run broker_only = measure();
            stop = true;
            broker_loader.join();
            gateway.stop(SIGTERM);
            const std::size_t others = static_cast<std::size_t>(static_cast<double>(terminals - 1) * rate * seconds);
            double load1 = 0, load5 = 0, load15 = 0;
            std::ifstream("/proc/loadavg") >> load1 >> load5 >> load15;
            std::printf("%zu terminals x %.1f events/s for %.1f s; t0 sent pictures; the other %zu measured; load average %.2f "
                        "%.2f %.2f\n",
                        terminals, rate, seconds, terminals - 1, load1, load5, load15);
            report("quiet", quiet, others);
            report("pictures", loaded, others);
            report("broker", broker_only, others);
            std::printf("pictures to t0: %zu sent, %zu shown, %zu refused, %zu unanswered in 30 s\n", load.sent, load.shown,
                        load.refused, load.unanswered);
            std::printf("ratio loaded/quiet  p50 %.2f  p99 %.2f (target p99 <= 1.5)\n",
                        at(loaded.us, 0.5) / std::max(at(quiet.us, 0.5), 1e-3), at(loaded.us, 0.99) / std::max(at(quiet.us, 0.99), 1e-3));
            std::printf("the same pictures at the same pace through the broker to a client that only reads them, %zu "
                        "sent: ratio p99 gateway/broker alone %.2f\n",
                        bytes_only.sent, at(loaded.us, 0.99) / std::max(at(broker_only.us, 0.99), 1e-3));
            std::printf("gateway peak RSS %.1f MiB\n", rss);
            std::printf("in the gateway (read to handed to the broker connection), under the pictures: %.0f events over "
                        "10 ms, %.0f over 100 ms (before them: %.0f, %.0f)\n",
                        loaded10, loaded100, slow10, slow100);
            return 0;
        }

        std::vector<std::pair<std::string, std::uint16_t>> list;
        for (std::size_t i = 0; i < terminals; ++i) list.emplace_back("t" + std::to_string(i), farm.port(i));
        json config = test_config(broker.port(), "gw-bench", list);
        const std::uint16_t metrics_port = free_port();
        const auto wait_online = [&](const char *mode) {
            const auto up_from = std::chrono::steady_clock::now();
            while (online < terminals && std::chrono::steady_clock::now() - up_from < std::chrono::seconds(120)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            const double up = std::chrono::duration<double>(std::chrono::steady_clock::now() - up_from).count();
            std::printf("%zu of %zu terminals online through the gateway (%s) in %.2f s\n", online.load(), terminals, mode, up);
        };
        // Terminals in a plant are not in step: their traffic starts spread
        // over one period, as independent terminals' would be. CPU seconds of
        // gateway, broker and farm over the measured time.
        std::array<double, 3> cpu{};
        const auto measure = [&](pid_t gateway_pid, double span) {
            std::ostringstream traffic;
            traffic << "traffic " << rate << " serial 1";
            const auto spacing = std::chrono::duration<double>(1.0 / rate / static_cast<double>(terminals));
            const auto spread_from = std::chrono::steady_clock::now();
            for (std::size_t i = 0; i < terminals; ++i) {
                std::this_thread::sleep_until(spread_from + std::chrono::duration_cast<std::chrono::steady_clock::duration>(spacing * static_cast<double>(i)));
                farm.command(i, traffic.str());
            }
            std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
            const double g0 = cpu_seconds(gateway_pid), b0 = cpu_seconds(broker.pid()), f0 = cpu_seconds(farm.pid());
            latencies.start();
            std::this_thread::sleep_for(std::chrono::duration<double>(span));
            cpu = {cpu_seconds(gateway_pid) - g0, cpu_seconds(broker.pid()) - b0, cpu_seconds(farm.pid()) - f0};
            farm.command("traffic 0");
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            return Run{latencies.stop(), span};
        };
        if (with_store) {
            // Without a store and with one, in turns of half the time each:
            // without, with, with, without, so that a steady change in the
            // machine's load, and being first or last, falls on both alike.
            json stored = config;
            stored["store"] = {{"path", (dir.path() / "bench.events").string()}};
            std::array<Run, 2> runs;  // without, with
            std::array<std::array<double, 3>, 2> cpus{};
            // The gateway's own share: events it took over 1 ms, 10 ms, and
            // all, from read to handed to the broker connection.
            std::array<std::array<double, 3>, 2> inside{};
            const auto histogram = [&](std::uint16_t port) {
                return std::array<double, 3>{slower(port, "0.001"), slower(port, "0.01"),
                                             metric(port, "vq6120_gateway_event_publish_seconds_count")};
            };
            for (int turn = 0; turn < 4; ++turn) {
                const int store = turn == 1 || turn == 2;
                online = 0;
                GatewayProcess g(dir, store ? stored : config, store ? "gateway-store" : "gateway",
                                 {"--metrics", std::to_string(metrics_port)});
                wait_online(store ? "JSON, with a store" : "JSON, without a store");
                const auto h0 = histogram(metrics_port);
                const Run r = measure(g.pid(), seconds / 2);
                const auto h1 = histogram(metrics_port);
                for (int i = 0; i < 3; ++i) inside[store][i] += h1[i] - h0[i];
                g.stop(SIGTERM);
                std::printf("turn %d, %s: p99 %.2f ms\n", turn + 1, store ? "with a store" : "without", at(r.us, 0.99));
                runs[store].us.insert(runs[store].us.end(), r.us.begin(), r.us.end());
                runs[store].seconds += r.seconds;
                for (int i = 0; i < 3; ++i) cpus[store][i] += cpu[i];
            }
            std::printf("%zu terminals x %.1f events/s, %.1f s each way in two turns; load average %s\n", terminals, rate,
                        seconds, load_average().c_str());
            for (int store = 0; store < 2; ++store) {
                std::sort(runs[store].us.begin(), runs[store].us.end());
                report(store ? "store" : "no store", runs[store], expected);
                std::printf("          cpu (share of one core)  gateway %.1f %%  broker %.1f %%  farm %.1f %%\n",
                            100 * cpus[store][0] / seconds, 100 * cpus[store][1] / seconds, 100 * cpus[store][2] / seconds);
                std::printf("          in the gateway (read to handed to the broker connection): %.0f of %.0f events over 1 ms, "
                            "%.0f over 10 ms\n",
                            inside[store][0], inside[store][2], inside[store][1]);
            }
            std::printf("ratio store/no store  p50 %.2f  p99 %.2f (target p99 <= 1.1)\n",
                        at(runs[1].us, 0.5) / std::max(at(runs[0].us, 0.5), 1e-3),
                        at(runs[1].us, 0.99) / std::max(at(runs[0].us, 0.99), 1e-3));
            return 0;
        }

        // The baseline, while nothing else runs.
        std::thread direct_publisher(publish_directly, broker.port(), static_cast<double>(terminals) * rate, warmup + seconds);
        std::this_thread::sleep_for(std::chrono::duration<double>(warmup));
        latencies.start();
        direct_publisher.join();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const Run direct{latencies.stop(), seconds};

        GatewayProcess gateway(dir, config, "gateway", {"--metrics", std::to_string(metrics_port)});
        wait_online("JSON");
        const Run through = measure(gateway.pid(), seconds);
        const std::array<double, 3> json_cpu = cpu;

        // Scrapes back to back: the gateway's CPU for each, all of it in the
        // metrics thread.
        constexpr int kScrapes = 500;
        const double s0 = cpu_seconds(gateway.pid());
        const auto scrape_from = std::chrono::steady_clock::now();
        httplib::Client http("127.0.0.1", metrics_port);
        http.set_keep_alive(true);
        for (int i = 0; i < kScrapes; ++i) {
            if (!http.Get("/metrics")) fail("scrape failed");
        }
        const double scrape_wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - scrape_from).count();
        const double scrape_cpu = cpu_seconds(gateway.pid()) - s0;

        // A reload changing 10 terminals (auto report on): those 10 reconnect,
        // no other.
        const std::size_t changed = std::min<std::size_t>(10, terminals);
        const double connects0 = metric(metrics_port, "vq6120_gateway_terminal_connects_total");
        for (std::size_t i = 0; i < changed; ++i) config["terminals"][i]["auto_report"] = 10;
        gateway.rewrite(config.dump());
        const auto reload_from = std::chrono::steady_clock::now();
        gateway.signal(SIGHUP);
        double connects1 = connects0;
        while (connects1 < connects0 + static_cast<double>(changed) &&
               std::chrono::steady_clock::now() - reload_from < std::chrono::seconds(30)) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            connects1 = metric(metrics_port, "vq6120_gateway_terminal_connects_total");
        }
        const double reload_s = std::chrono::duration<double>(std::chrono::steady_clock::now() - reload_from).count();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // anything more would show now
        connects1 = metric(metrics_port, "vq6120_gateway_terminal_connects_total");
        const double online_after = metric(metrics_port, "vq6120_gateway_terminals{state=\"online\"}");
        gateway.stop(SIGTERM);

        // The same terminals and traffic through an edge node.
        online = 0;
        config["sparkplug"] = {{"group_id", "bench"}, {"edge_node_id", "gw-bench"}};
        GatewayProcess edge(dir, config, "edge");
        wait_online("Sparkplug B");
        const Run sparkplug_run = measure(edge.pid(), seconds);
        const std::array<double, 3> sparkplug_cpu = cpu;
        edge.stop(SIGTERM);

        std::printf("%zu terminals x %.1f events/s for %.1f s (after %.1f s warm-up); broker, farm, gateway and "
                    "subscriber on this machine (%ld cores)\n",
                    terminals, rate, seconds, warmup, sysconf(_SC_NPROCESSORS_ONLN));
        report("direct", direct, expected);
        report("gateway", through, expected);
        std::printf("ratio gateway/direct  p50 %.2f  p99 %.2f\n", at(through.us, 0.5) / std::max(at(direct.us, 0.5), 1e-3),
                    at(through.us, 0.99) / std::max(at(direct.us, 0.99), 1e-3));
        report("sparkplug", sparkplug_run, expected);
        std::printf("ratio sparkplug/gateway  p50 %.2f  p99 %.2f (target p99 <= 1.5)\n",
                    at(sparkplug_run.us, 0.5) / std::max(at(through.us, 0.5), 1e-3),
                    at(sparkplug_run.us, 0.99) / std::max(at(through.us, 0.99), 1e-3));
        for (const auto &[mode, c] : {std::pair{"JSON", json_cpu}, {"Sparkplug B", sparkplug_cpu}}) {
            std::printf("cpu (share of one core, %s)  gateway %.1f %%  broker %.1f %%  farm %.1f %%\n", mode, 100 * c[0] / seconds,
                        100 * c[1] / seconds, 100 * c[2] / seconds);
        }
        std::printf("target p99 <= 20 ms: %s\n", at(through.us, 0.99) <= 20.0 ? "met" : "NOT met");
        std::printf("metrics scrape: %.0f us gateway CPU each (metrics thread; loop time 0 by construction), %.2f ms "
                    "wall each, %d scrapes at %zu terminals\n",
                    1e6 * scrape_cpu / kScrapes, 1e3 * scrape_wall / kScrapes, kScrapes, terminals);
        std::printf("reload changing %zu of %zu terminals: %.0f connects (target %zu), %.0f online after, %.2f s\n", changed,
                    terminals, connects1 - connects0, changed, online_after, reload_s);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "gateway_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
