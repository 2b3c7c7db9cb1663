// Many terminals, each sending stamped serial data, served on one host
// thread: by the Poller (waits on every socket at once, sleeps when nothing
// comes), against the baseline sweep (GetDataFromEthernet(wait 0) over every
// handle, round and round) and against the floor of the platform (an epoll
// loop on raw sockets that cuts the frames itself). The farm runs in its own
// process and stamps each frame with CLOCK_MONOTONIC when it sends it; the
// host reads the same clock when its handler gets the frame.
#include "plant_events.hpp"

#include <arpa/inet.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "plant.hpp"
#include "plant_common.hpp"
#include "vq6120.hpp"

namespace vq6120::bench {

void EventFigures::record(std::span<const std::uint8_t> payload, std::int64_t now_ns) {
    // The farm's stamp (vq6120-sim's traffic payload): the sequence number,
    // then the send time in nanoseconds, both 64-bit little-endian.
    if (payload.size() != 16) {
        ++unstamped;
        return;
    }
    std::uint64_t sent = 0;
    for (int i = 7; i >= 0; --i) {
        sent = (sent << 8) | payload[8 + static_cast<std::size_t>(i)];
    }
    if (static_cast<std::int64_t>(sent) >= since_ns) {
        latency_us.push_back(static_cast<double>(now_ns - static_cast<std::int64_t>(sent)) / 1e3);
    }
}

namespace {

constexpr double kWarmUpSeconds = 1.0;

void stop_traffic(Farm &farm) {
    farm.command("traffic 0");
    farm.sync();
}

// A terminal serves one host at a time: the next way of serving them starts
// once the farm has seen every host of the last one go.
void await_hosts_gone(Farm &farm) {
    for (int i = 0; i < 100; ++i) {
        if (farm.sync().find(" 0 connected") != std::string::npos) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    throw std::runtime_error("the farm still holds hosts of the last run");
}

struct Run {
    EventFigures idle;
    EventFigures traffic;
};

// One way of serving the terminals for `seconds`; the events handled in that
// time go to the figures it returns.
using Serve = std::function<EventFigures(double seconds)>;

// The same phases for every way: silent, then traffic after a warm-up.
Run measure(Farm &farm, const EventsOptions &o, const Serve &serve) {
    Run run;
    run.idle = serve(o.idle_seconds);
    start_traffic(farm, o.rate);
    serve(kWarmUpSeconds);
    run.traffic = serve(o.seconds);
    stop_traffic(farm);
    return run;
}

std::size_t expected_events(const EventsOptions &o, double seconds) {
    return static_cast<std::size_t>(o.terminals * o.rate * seconds * 1.25);
}

Run run_sweep(Farm &farm, const EventsOptions &o, double &sweep_ms) {
    std::vector<VQ6120_HANDLE> handles;
    for (const std::uint16_t port : farm.ports()) {
        handles.push_back(InitialVQ6120(htonl(INADDR_LOOPBACK), port));
        if (handles.back() == nullptr) {
            throw std::runtime_error("cannot open the terminal on port " + std::to_string(port));
        }
    }
    const Run run = measure(farm, o, [&](double seconds) {
        return sweep_terminals(handles, seconds, expected_events(o, seconds));
    });
    const auto sweeps = static_cast<double>(std::max<std::uint64_t>(run.idle.sweeps, 1));
    sweep_ms = static_cast<double>(run.idle.wall_ns) / 1e6 / sweeps;
    for (VQ6120_HANDLE h : handles) {
        ExitVQ6120(h);
    }
    return run;
}

Run run_raw(Farm &farm, const EventsOptions &o) {
    RawTerminals raw(farm.ports());
    return measure(farm, o, [&](double seconds) { return raw.serve(seconds, expected_events(o, seconds)); });
}

Run run_poller(Farm &farm, const EventsOptions &o) {
    Poller poller;
    if (!poller.ok()) {
        throw std::runtime_error("the Poller has no wait set");
    }
    EventFigures *sink = nullptr;
    std::uint64_t lost = 0;
    poller.on_event([&](TerminalId, void *, Event &event) {
        if (const auto *serial = std::get_if<SerialData>(&event); serial != nullptr && sink != nullptr) {
            sink->record(serial->bytes, monotonic_ns());
        }
    });
    poller.on_state([&](const StateChange &change) {
        lost += change.state == State::Lost ? 1 : 0;
    });
    for (const std::uint16_t port : farm.ports()) {
        TerminalConfig config;
        config.endpoint = Endpoint{htonl(INADDR_LOOPBACK), port};
        poller.add(config);
    }
    const std::int64_t give_up = monotonic_ns() + 30'000'000'000;
    while (poller.online() < farm.ports().size() && monotonic_ns() < give_up) {
        poller.run_once(std::chrono::milliseconds(100));
    }
    if (poller.online() < farm.ports().size()) {
        throw std::runtime_error("only " + std::to_string(poller.online()) + " terminals came online");
    }
    return measure(farm, o, [&](double seconds) {
        EventFigures figures;
        figures.latency_us.reserve(expected_events(o, seconds));
        sink = &figures;
        lost = 0;
        const std::int64_t cpu_start = thread_cpu_ns();
        const std::int64_t start = monotonic_ns();
        figures.since_ns = start;
        const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
        for (std::int64_t now = start; now < end; now = monotonic_ns()) {
            poller.run_once(std::chrono::milliseconds((end - now) / 1'000'000 + 1));
        }
        figures.cpu_ns = thread_cpu_ns() - cpu_start;
        figures.wall_ns = monotonic_ns() - start;
        figures.lost = lost;
        sink = nullptr;
        return figures;
    });
}

double cpu_us_per_event(const EventFigures &f) {
    return f.events() == 0 ? 0 : static_cast<double>(f.cpu_ns) / 1e3 / static_cast<double>(f.events());
}
double core_percent(const EventFigures &f) {
    return f.wall_ns == 0 ? 0 : 100.0 * static_cast<double>(f.cpu_ns) / static_cast<double>(f.wall_ns);
}

}  // namespace

int run_events(const EventsOptions &o) {
    const auto limit = raise_descriptor_limit(static_cast<std::uint64_t>(o.terminals) + 256);
    if (limit < static_cast<std::uint64_t>(o.terminals) + 64) {
        std::fprintf(stderr, "events: the descriptor limit (%llu) is too low for %d terminals\n",
                     static_cast<unsigned long long>(limit), o.terminals);
        return 1;
    }
    Farm farm(o.farm, o.terminals);
    const Run poller = run_poller(farm, o);
    Run raw;
    Run sweep;
    double sweep_ms = 0;
    if (o.baseline) {
        await_hosts_gone(farm);
        raw = run_raw(farm, o);
        await_hosts_gone(farm);
        sweep = run_sweep(farm, o, sweep_ms);
    }
    const std::string note = machine_note();

    std::printf("events: %d terminals, %d events/s each, %.0f s measured (after %.0f s warm-up), idle %.0f s; %s\n",
                o.terminals, o.rate, o.seconds, kWarmUpSeconds, o.idle_seconds, note.c_str());
    std::printf("  %-36s %12s %12s %12s %11s %11s\n", "", "Poller", "raw epoll", "sweep", "sweep/Poller",
                "Poller/raw");
    const auto row = [&](const char *what, auto figure, const char *unit, const char *target) {
        const double p = figure(poller);
        if (!o.baseline) {
            std::printf("  %-36s %9.1f %-2s %12s %12s %11s %11s   %s\n", what, p, unit, "-", "-", "-", "-", target);
            return;
        }
        const double r = figure(raw);
        const double w = figure(sweep);
        std::printf("  %-36s %9.1f %-2s %9.1f %-2s %9.1f %-2s %10.1fx %10.2fx   %s\n", what, p, unit, r, unit, w,
                    unit, p > 0 ? w / p : 0, r > 0 ? p / r : 0, target);
    };
    row("latency, send to handler, p50", [](const Run &r) { return percentile(r.traffic.latency_us, 50); }, "us",
        "");
    row("latency, send to handler, p99", [](const Run &r) { return percentile(r.traffic.latency_us, 99); }, "us",
        "(target <= 1000 us)");
    row("host CPU per event", [](const Run &r) { return cpu_us_per_event(r.traffic); }, "us", "(target <= 5 us)");
    row("host CPU, all connected and silent", [](const Run &r) { return core_percent(r.idle); }, "% ",
        "(target <= 1 % of a core)");
    const auto count = [](const Run &r) { return r.traffic.events(); };
    const auto faults = [](const Run &r) { return r.traffic.unstamped + r.traffic.lost + r.idle.lost; };
    std::printf("  events handled: Poller %zu, raw %zu, sweep %zu; %.0f sent in each run; "
                "unstamped or lost terminals: %llu\n",
                count(poller), count(raw), count(sweep), o.terminals * o.rate * o.seconds,
                static_cast<unsigned long long>(faults(poller) + faults(raw) + faults(sweep)));
    if (o.baseline) {
        std::printf("  sweep: one pass of GetDataFromEthernet(wait 0) over %d idle handles takes %.3f ms\n",
                    o.terminals, sweep_ms);
    }
    std::printf("result terminals=%d rate=%d events=%zu p50_us=%.1f p99_us=%.1f cpu_us_per_event=%.2f "
                "idle_core_percent=%.3f load1=%s\n",
                o.terminals, o.rate, count(poller), percentile(poller.traffic.latency_us, 50),
                percentile(poller.traffic.latency_us, 99), cpu_us_per_event(poller.traffic),
                core_percent(poller.idle), load_average().substr(0, load_average().find(' ')).c_str());
    // Timings are only reported; a run that lost terminals or could not read
    // the farm's stamps measured something else and fails.
    const bool sound = count(poller) > 0 && faults(poller) + faults(raw) + faults(sweep) == 0 &&
                       (!o.baseline || (count(raw) > 0 && count(sweep) > 0));
    return sound ? 0 : 1;
}

}  // namespace vq6120::bench
