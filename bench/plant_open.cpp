// Opening many terminals of which some never answer the TCP handshake (their
// accept queue is full): the Poller opens them all at once, each with a
// connect time limit, against the baseline of opening them one by one with
// InitialVQ6120, where each silent terminal blocks the host for as long as
// the kernel retries its handshake.
#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <set>
#include <string>

#include "plant.hpp"
#include "plant_common.hpp"
#include "vq6120.hpp"

namespace vq6120::bench {
namespace {

std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// How long the kernel keeps retrying an unanswered handshake: the first
// retransmission after 1 s, doubling, tcp_syn_retries times, then one more
// doubled wait before it gives up.
double kernel_connect_give_up_seconds() {
    int retries = 6;
    std::ifstream("/proc/sys/net/ipv4/tcp_syn_retries") >> retries;
    return static_cast<double>((1LL << (retries + 1)) - 1);
}

struct PollerOpen {
    double all_online_ms = -1;  // until every answering terminal was online
    double median_online_ms = 0;
    double first_timeouts_ms = -1;  // until every silent terminal's first attempt gave up
    std::size_t online = 0;
    std::size_t timeouts = 0;
    double cpu_ms = 0;
};

PollerOpen open_with_poller(const Farm &farm, const std::set<std::size_t> &silent, int limit_ms) {
    Poller poller;
    if (!poller.ok()) {
        throw std::runtime_error("the Poller has no wait set");
    }
    const std::size_t answering = farm.ports().size() - silent.size();
    std::vector<double> online_ms;  // when each terminal first came online
    std::set<TerminalId> online;
    std::set<TerminalId> timed_out;
    const std::int64_t start = monotonic_ns();
    const auto since = [&] { return static_cast<double>(monotonic_ns() - start) / 1e6; };
    PollerOpen result;
    poller.on_state([&](const StateChange &c) {
        if (c.state == State::Online && online.insert(c.id).second) {
            online_ms.push_back(since());
        } else if (c.state == State::Waiting && c.reason == reason::kConnectTimeout && timed_out.insert(c.id).second &&
                   timed_out.size() == silent.size()) {
            result.first_timeouts_ms = since();
        }
    });
    const std::int64_t cpu_start = thread_cpu_ns();
    for (const std::uint16_t port : farm.ports()) {
        TerminalConfig config;
        config.endpoint = Endpoint{loopback(), port};
        config.connect_limit = std::chrono::milliseconds(limit_ms);
        poller.add(config);
    }
    // Until every answering terminal is online and every silent one has
    // given up once; at most ten limits.
    const std::int64_t give_up = start + 10LL * limit_ms * 1'000'000 + 5'000'000'000;
    while ((online_ms.size() < answering || timed_out.size() < silent.size()) && monotonic_ns() < give_up) {
        poller.run_once(std::chrono::milliseconds(50));
    }
    result.cpu_ms = static_cast<double>(thread_cpu_ns() - cpu_start) / 1e6;
    result.online = online_ms.size();
    result.timeouts = timed_out.size();
    if (online_ms.size() >= answering && answering > 0) {
        result.all_online_ms = online_ms[answering - 1];
    }
    result.median_online_ms = percentile(online_ms, 50);
    return result;
}

}  // namespace

int run_open(const OpenOptions &o) {
    if (o.silent >= o.terminals) {
        std::fprintf(stderr, "open: --silent must leave some terminals answering\n");
        return 1;
    }
    raise_descriptor_limit(static_cast<std::uint64_t>(o.terminals) * 2 + 256);
    Farm farm(o.farm, o.terminals);
    // Silent terminals spread evenly over the ports.
    std::set<std::size_t> silent;
    for (int k = 0; k < o.silent; ++k) {
        const auto i = static_cast<std::size_t>(k * o.terminals / o.silent);
        silent.insert(i);
        farm.command("on " + std::to_string(i) + " noaccept");
    }
    farm.sync(60000);

    const PollerOpen p = open_with_poller(farm, silent, o.limit_ms);
    const std::size_t answering = farm.ports().size() - silent.size();
    std::printf("open: %d terminals, %d of them silent (accept queue full), connect limit %d ms; %s\n", o.terminals,
                o.silent, o.limit_ms, machine_note().c_str());
    std::printf("  Poller: %zu of %zu answering terminals online; all of them after %.1f ms (target <= 2000 ms), "
                "half after %.1f ms\n",
                std::min(p.online, answering), answering, p.all_online_ms, p.median_online_ms);
    std::printf("  Poller: every silent terminal's first attempt gave up after %.1f ms (%zu of %d timed out); "
                "host CPU %.1f ms\n",
                p.first_timeouts_ms, p.timeouts, o.silent, p.cpu_ms);

    if (o.baseline_count > 0) {
        // The same farm, one by one: answering terminals first, then a silent one.
        const int answering_count = o.baseline_count - 1;
        std::vector<std::uint16_t> answering_ports;
        for (std::size_t i = 0; i < farm.ports().size() && static_cast<int>(answering_ports.size()) < answering_count;
             ++i) {
            if (silent.count(i) == 0) {
                answering_ports.push_back(farm.ports()[i]);
            }
        }
        const std::int64_t start = monotonic_ns();
        for (const std::uint16_t port : answering_ports) {
            ExitVQ6120(InitialVQ6120(loopback(), port));
        }
        const double answering_ms = static_cast<double>(monotonic_ns() - start) / 1e6;
        double silent_s = 0;
        if (!silent.empty()) {
            std::fprintf(stderr, "open: baseline: InitialVQ6120 on a silent terminal; the kernel gives up after "
                                 "about %.0f s\n",
                         kernel_connect_give_up_seconds());
            const std::int64_t t = monotonic_ns();
            const VQ6120_HANDLE h = InitialVQ6120(loopback(), farm.ports()[*silent.begin()]);
            silent_s = static_cast<double>(monotonic_ns() - t) / 1e9;
            ExitVQ6120(h);
        }
        const double per_answering_ms = answering_ms / std::max(answering_count, 1);
        const double projected_s = static_cast<double>(answering) * per_answering_ms / 1e3 +
                                   static_cast<double>(silent.size()) * silent_s;
        std::printf("  baseline, one by one with InitialVQ6120: %d answering in %.1f ms (%.3f ms each), "
                    "1 silent in %.1f s\n",
                    answering_count, answering_ms, per_answering_ms, silent_s);
        std::printf("  baseline for all %d (%zu silent x %.1f s + %zu answering): %.0f s = %.0fx the Poller's %.2f s\n",
                    o.terminals, silent.size(), silent_s, answering, projected_s,
                    p.all_online_ms > 0 ? projected_s * 1e3 / p.all_online_ms : 0, p.all_online_ms / 1e3);
    } else {
        std::printf("  baseline skipped (--baseline-count); one by one with InitialVQ6120, each silent terminal "
                    "blocks about %.0f s (tcp_syn_retries)\n",
                    kernel_connect_give_up_seconds());
    }
    return p.online >= answering && p.timeouts == silent.size() ? 0 : 1;
}

}  // namespace vq6120::bench
