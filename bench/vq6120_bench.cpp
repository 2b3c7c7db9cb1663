// What the library costs over the bare socket calls it makes. Every benchmark
// runs the library and its raw-socket baseline side by side over loopback in
// the same run, alternating which goes first, and reports the ratio; the
// summary printed at the end gathers the ratios. Reported times are the
// library's (manual timing), the baseline's figures are counters.
#include <benchmark/benchmark.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "loopback.hpp"
#include "transport/connection.hpp"

namespace vq6120::bench {
namespace {

using Clock = std::chrono::steady_clock;

double ns(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

double median(std::vector<double> v) {
    if (v.empty()) {
        return 0;
    }
    const auto mid = v.begin() + static_cast<std::ptrdiff_t>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

// Figures kept for the summary; the last (longest) run of each benchmark wins.
std::map<std::string, double> &figures() {
    static std::map<std::string, double> f;
    return f;
}

// The socket under a library handle, for setting up a measurement only.
int socket_of(VQ6120_HANDLE h) { return static_cast<int>(h->socket); }

// ---- 1. Command cost ------------------------------------------------------

constexpr std::int16_t kLine[4] = {10, 5, 200, 60};
const std::string kText240(240, 'T');

std::int32_t draw_line(VQ6120_HANDLE h) { return DrawLine(h, kLine[0], kLine[1], kLine[2], kLine[3]); }
std::int32_t write_text_240(VQ6120_HANDLE h) { return WriteText(h, kText240.data(), 240, 0); }

Bytes line_frame() {
    Bytes payload;
    for (std::int16_t v : kLine) {
        payload.push_back(static_cast<std::uint8_t>(v >> 8));
        payload.push_back(static_cast<std::uint8_t>(v & 0xFF));
    }
    return frame(0x40, 0x47, 0, payload);
}
Bytes text_frame() { return frame(0x40, 0x61, 0, Bytes(kText240.begin(), kText240.end())); }

// One library command against one send() of the same bytes on a socket made
// the same way; a thread on the peer side drains both connections so that no
// send ever blocks.
void command_vs_send(benchmark::State &state, const std::string &name, std::int32_t (*command)(VQ6120_HANDLE),
                     const Bytes &bytes) {
    Listener listener;
    LibraryLink lib = connect_library(listener);
    RawLink raw = connect_raw(listener);
    // The baseline must send exactly what the library sends.
    command(lib.host);
    Bytes sent(bytes.size());
    if (!read_exactly(lib.peer.get(), sent, 2000) || sent != bytes) {
        state.SkipWithError("the library's frame differs from the baseline's bytes");
        return;
    }
    std::vector<Fd> peers;
    peers.push_back(std::move(lib.peer));
    peers.push_back(std::move(raw.peer));
    Drain drain(std::move(peers));

    constexpr int kBlock = 16;  // calls per timed block, to keep clock reads out of the figures
    const int fd = raw.host.get();
    std::vector<double> lib_blocks, raw_blocks;
    bool lib_first = true;
    bool sent_all = true;
    for (auto _ : state) {
        Clock::duration lib_block{};
        auto run_library = [&] {
            const auto t0 = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                benchmark::DoNotOptimize(command(lib.host));
            }
            lib_block = Clock::now() - t0;
        };
        auto run_raw = [&] {
            const auto t0 = Clock::now();
            for (int i = 0; i < kBlock; ++i) {
                const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
                sent_all &= n == static_cast<ssize_t>(bytes.size());
            }
            raw_blocks.push_back(ns(Clock::now() - t0) / kBlock);
        };
        if (lib_first) {
            run_library();
            run_raw();
        } else {
            run_raw();
            run_library();
        }
        lib_first = !lib_first;
        lib_blocks.push_back(ns(lib_block) / kBlock);
        state.SetIterationTime(std::chrono::duration<double>(lib_block).count());
    }
    if (!sent_all) {
        state.SkipWithError("a baseline send was short or failed");
        return;
    }
    // Medians of the per-call figures of each block: a block that lost the
    // processor to another task says nothing about either side.
    const double lib_ns = median(lib_blocks), raw_ns = median(raw_blocks);
    state.counters["lib_ns"] = lib_ns;
    state.counters["raw_ns"] = raw_ns;
    state.counters["ratio"] = lib_ns / raw_ns;
    figures()[name + ".lib_ns"] = lib_ns;
    figures()[name + ".raw_ns"] = raw_ns;
    figures()[name + ".ratio"] = lib_ns / raw_ns;
}

void BM_Command_DrawLine(benchmark::State &state) { command_vs_send(state, "DrawLine", draw_line, line_frame()); }
void BM_Command_WriteText240(benchmark::State &state) {
    command_vs_send(state, "WriteText240", write_text_240, text_frame());
}
BENCHMARK(BM_Command_DrawLine)->UseManualTime();
BENCHMARK(BM_Command_WriteText240)->UseManualTime();

// ---- Raw receiving, the baseline of the receive side ------------------------

// A receive buffer walked by hand: reads when no whole frame is held, then
// takes frames off the front, as a host without the library would.
class RawReceiver {
public:
    // Waits up to `wait_ms` and reads once if no whole frame is held. Returns
    // the command of the next frame (its payload copied to `out`), -1 when
    // nothing whole is there, -2 on close or a bad length.
    int next(int fd, std::uint8_t *out, std::size_t capacity, int wait_ms) {
        if (!front_whole()) {
            if (begin_ != 0) {
                std::memmove(data_.data(), data_.data() + begin_, count_);
                begin_ = 0;
            }
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, wait_ms) == 1) {
                const ssize_t n = ::recv(fd, data_.data() + count_, data_.size() - count_, 0);
                if (n <= 0) {
                    return -2;
                }
                count_ += static_cast<std::size_t>(n);
            }
        }
        if (count_ < 8) {
            return -1;
        }
        const std::uint8_t *f = data_.data() + begin_;
        const std::size_t length = f[0] | (f[1] << 8);
        if (length < 8 || length > data_.size()) {
            return -2;
        }
        if (length > count_) {
            return -1;
        }
        std::memcpy(out, f + 8, std::min(length - 8, capacity));
        begin_ += length;
        count_ -= length;
        return f[6];
    }

private:
    bool front_whole() const {
        return count_ >= 8 && (data_[begin_] | (data_[begin_ + 1] << 8)) <= static_cast<int>(count_);
    }
    std::array<std::uint8_t, 32768> data_{};
    std::size_t begin_ = 0;
    std::size_t count_ = 0;
};

// ---- 2. Round trip --------------------------------------------------------

// Two commands and a digital-input request, then polling until the answer.
bool library_exchange(VQ6120_HANDLE h) {
    draw_line(h);
    WriteText(h, "Ready", 5, 0);
    ReadDIStatus(h);
    std::uint8_t payload[64];
    for (int i = 0; i < 300; ++i) {  // bounded: 3 s of 10 ms waits at most
        std::int32_t length = sizeof payload;
        const std::int32_t r = GetDataFromEthernet(h, payload, &length, 1);
        if (r == VQ6120_RECV_DI_STATUS) {
            return length == 2;
        }
        if (r == VQ6120_RECV_CLOSED) {
            return false;
        }
    }
    return false;
}

struct RawExchange {
    Bytes line = line_frame();
    Bytes text = frame(0x40, 0x61, 0, Bytes{'R', 'e', 'a', 'd', 'y'});
    Bytes request = frame(0x40, 0x0A, 0, Bytes{});
    RawReceiver receiver;

    bool run(int fd) {
        for (const Bytes *b : {&line, &text, &request}) {
            if (::send(fd, b->data(), b->size(), MSG_NOSIGNAL) != static_cast<ssize_t>(b->size())) {
                return false;
            }
        }
        std::uint8_t payload[64];
        for (int i = 0; i < 300; ++i) {
            const int command = receiver.next(fd, payload, sizeof payload, 10);
            if (command == 0x0A) {
                return true;
            }
            if (command == -2) {
                return false;
            }
        }
        return false;
    }
};

// Times `library` and `baseline` once per iteration, alternating which goes
// first, and reports both medians and their ratio under `name`.
template <class Library, class Baseline>
void paired_medians(benchmark::State &state, const std::string &name, Library library, Baseline baseline,
                    const char *failure) {
    std::vector<double> lib_ns, raw_ns;
    bool ok = true;
    bool lib_first = true;
    for (auto _ : state) {
        double lib_time = 0;
        auto run_library = [&] {
            const auto t0 = Clock::now();
            ok &= library();
            lib_time = ns(Clock::now() - t0);
        };
        auto run_raw = [&] {
            const auto t0 = Clock::now();
            ok &= baseline();
            raw_ns.push_back(ns(Clock::now() - t0));
        };
        if (lib_first) {
            run_library();
            run_raw();
        } else {
            run_raw();
            run_library();
        }
        lib_first = !lib_first;
        lib_ns.push_back(lib_time);
        state.SetIterationTime(lib_time * 1e-9);
    }
    if (!ok) {
        state.SkipWithError(failure);
        return;
    }
    const double lib_median = median(lib_ns), raw_median = median(raw_ns);
    state.counters["lib_median_us"] = lib_median / 1e3;
    state.counters["raw_median_us"] = raw_median / 1e3;
    state.counters["ratio"] = lib_median / raw_median;
    figures()[name + ".lib_us"] = lib_median / 1e3;
    figures()[name + ".raw_us"] = raw_median / 1e3;
    figures()[name + ".ratio"] = lib_median / raw_median;
}

void BM_RoundTrip(benchmark::State &state) {
    Listener listener;
    LibraryLink lib = connect_library(listener);
    RawLink raw = connect_raw(listener);
    std::vector<Fd> peers;
    peers.push_back(std::move(lib.peer));
    peers.push_back(std::move(raw.peer));
    Responder terminal(std::move(peers));
    RawExchange baseline;
    paired_medians(
        state, "RoundTrip", [&] { return library_exchange(lib.host); },
        [&] { return baseline.run(raw.host.get()); }, "an exchange did not complete");
}
BENCHMARK(BM_RoundTrip)->UseManualTime();

// The same raw exchange with Nagle's algorithm left on: the request waits
// behind the unacknowledged commands for the peer's delayed acknowledgement.
// Each exchange takes tens of milliseconds, so the count is fixed.
void BM_RoundTripNagleOn(benchmark::State &state) {
    Listener listener;
    RawLink raw = connect_raw(listener, /*nagle=*/true);
    std::vector<Fd> peers;
    peers.push_back(std::move(raw.peer));
    Responder terminal(std::move(peers));
    RawExchange baseline;
    std::vector<double> times;
    bool ok = true;
    for (auto _ : state) {
        const auto t0 = Clock::now();
        ok &= baseline.run(raw.host.get());
        times.push_back(ns(Clock::now() - t0));
        state.SetIterationTime(times.back() * 1e-9);
    }
    if (!ok) {
        state.SkipWithError("an exchange did not complete");
        return;
    }
    const double m = median(times);
    state.counters["median_us"] = m / 1e3;
    figures()["NagleOn.us"] = m / 1e3;
    if (figures().count("RoundTrip.lib_us") != 0) {
        state.counters["x_library"] = m / 1e3 / figures()["RoundTrip.lib_us"];
    }
}
BENCHMARK(BM_RoundTripNagleOn)->UseManualTime()->Iterations(20);

// ---- 3. Burst drain -------------------------------------------------------

// N key frames of 9 bytes arrive in one burst; the host drains them with
// GetDataFromEthernet (wait = 1). Only the drain is timed: the burst is sent
// and has fully arrived before the clock starts.
void BM_BurstDrain(benchmark::State &state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    Listener listener;
    LibraryLink lib = connect_library(listener);
    RawLink raw = connect_raw(listener);
    Bytes burst;
    for (std::size_t i = 0; i < n; ++i) {
        burst = burst + frame(0x40, 0x37, 0, Bytes{static_cast<std::uint8_t>(i)});
    }
    RawReceiver receiver;
    std::vector<double> lib_times, raw_times;
    std::size_t empty_polls = 0;
    bool ok = true;
    bool lib_first = true;
    for (auto _ : state) {
        ok &= write_all(lib.peer.get(), burst) && write_all(raw.peer.get(), burst);
        ok &= await_readable_bytes(socket_of(lib.host), burst.size()) &&
              await_readable_bytes(raw.host.get(), burst.size());
        if (!ok) {
            break;
        }
        Clock::duration lib_time{};
        auto run_library = [&] {
            std::uint8_t payload[16];
            std::size_t delivered = 0;
            const auto t0 = Clock::now();
            for (std::size_t calls = 0; delivered < n && calls < 2 * n; ++calls) {
                std::int32_t length = sizeof payload;
                const std::int32_t r = GetDataFromEthernet(lib.host, payload, &length, 1);
                if (r == VQ6120_RECV_FRAME_37) {
                    ++delivered;
                } else {
                    ++empty_polls;
                }
                benchmark::DoNotOptimize(payload);
            }
            lib_time = Clock::now() - t0;
            ok &= delivered == n;
        };
        auto run_raw = [&] {
            std::uint8_t payload[16];
            std::size_t delivered = 0;
            const auto t0 = Clock::now();
            for (std::size_t calls = 0; delivered < n && calls < 2 * n; ++calls) {
                if (receiver.next(raw.host.get(), payload, sizeof payload, 10) == 0x37) {
                    ++delivered;
                }
                benchmark::DoNotOptimize(payload);
            }
            raw_times.push_back(ns(Clock::now() - t0));
            ok &= delivered == n;
        };
        if (lib_first) {
            run_library();
            run_raw();
        } else {
            run_raw();
            run_library();
        }
        lib_first = !lib_first;
        lib_times.push_back(ns(lib_time));
        state.SetIterationTime(std::chrono::duration<double>(lib_time).count());
    }
    if (!ok) {
        state.SkipWithError("a burst was not delivered whole");
        return;
    }
    const double frames = static_cast<double>(n);
    const double lib_per_frame = median(lib_times) / frames, raw_per_frame = median(raw_times) / frames;
    state.counters["lib_ns_per_frame"] = lib_per_frame;
    state.counters["raw_ns_per_frame"] = raw_per_frame;
    state.counters["ratio"] = lib_per_frame / raw_per_frame;
    state.counters["empty_polls"] = static_cast<double>(empty_polls);
    const std::string key = "Burst" + std::to_string(n);
    figures()[key + ".lib_ns"] = lib_per_frame;
    figures()[key + ".raw_ns"] = raw_per_frame;
    figures()[key + ".ratio"] = lib_per_frame / raw_per_frame;
}
BENCHMARK(BM_BurstDrain)->Arg(100)->Arg(1000)->Arg(3600)->UseManualTime();

// ---- 4. Probe -------------------------------------------------------------

void BM_Probe(benchmark::State &state) {
    Listener listener;
    LibraryLink lib = connect_library(listener);
    RawLink raw = connect_raw(listener);
    std::vector<Fd> peers;
    peers.push_back(std::move(lib.peer));
    peers.push_back(std::move(raw.peer));
    Responder terminal(std::move(peers));
    const Bytes request = frame(0x40, 0x00, 0, Bytes{});
    RawReceiver receiver;
    auto raw_probe = [&] {
        const int fd = raw.host.get();
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size())) {
            return false;
        }
        std::uint8_t name[32] = {};
        for (int i = 0; i < 200; ++i) {
            const int command = receiver.next(fd, name, sizeof name, 10);
            if (command == 0x00) {
                return std::memcmp(name, "VQ6120", 6) == 0;
            }
            if (command == -2) {
                return false;
            }
        }
        return false;
    };
    paired_medians(
        state, "Probe", [&] { return GetConnectStatus(lib.host, 2) == 1; }, raw_probe, "a probe failed");
}
BENCHMARK(BM_Probe)->UseManualTime();

// ---- Summary --------------------------------------------------------------

void print_summary() {
    auto &f = figures();
    auto has = [&](const std::string &k) { return f.count(k) != 0; };
    std::printf("\nSummary (library against its raw-socket baseline, same run)\n");
    std::printf("  %-38s %12s %12s %9s %s\n", "measure", "library", "baseline", "ratio", "target");
    for (const char *name : {"DrawLine", "WriteText240"}) {
        const std::string k = name;
        if (has(k + ".ratio")) {
            std::printf("  %-38s %9.0f ns %9.0f ns %9.3f <= 1.05\n", ("command " + k).c_str(), f[k + ".lib_ns"],
                        f[k + ".raw_ns"], f[k + ".ratio"]);
        }
    }
    if (has("RoundTrip.ratio")) {
        std::printf("  %-38s %9.1f us %9.1f us %9.3f <= 1.15\n", "round trip (median)", f["RoundTrip.lib_us"],
                    f["RoundTrip.raw_us"], f["RoundTrip.ratio"]);
    }
    if (has("NagleOn.us") && has("RoundTrip.lib_us")) {
        std::printf("  %-38s %9.1f us %9.1f us %9.0fx >= 500x\n", "round trip, Nagle on / library",
                    f["RoundTrip.lib_us"], f["NagleOn.us"], f["NagleOn.us"] / f["RoundTrip.lib_us"]);
    }
    for (int n : {100, 1000, 3600}) {
        const std::string k = "Burst" + std::to_string(n);
        if (has(k + ".ratio")) {
            std::printf("  %-38s %6.1f ns/fr %6.1f ns/fr %9.3f <= 4\n", ("burst drain N=" + std::to_string(n)).c_str(),
                        f[k + ".lib_ns"], f[k + ".raw_ns"], f[k + ".ratio"]);
        }
    }
    if (has("Burst100.lib_ns") && has("Burst3600.lib_ns")) {
        std::printf("  %-38s %26s %9.3f <= 1.2\n", "burst per frame, N=3600 / N=100", "",
                    f["Burst3600.lib_ns"] / f["Burst100.lib_ns"]);
    }
    if (has("Probe.ratio")) {
        std::printf("  %-38s %9.1f us %9.1f us %9.3f\n", "probe (median)", f["Probe.lib_us"], f["Probe.raw_us"],
                    f["Probe.ratio"]);
    }
}

}  // namespace
}  // namespace vq6120::bench

int main(int argc, char **argv) {
    std::signal(SIGPIPE, SIG_IGN);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    vq6120::bench::print_summary();
    return 0;
}
