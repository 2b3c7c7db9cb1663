// The queued send mode against the blocking sends it replaces, in the same
// run over loopback with a peer that reads everything: host CPU per command
// and per 200-command redraw (one by one and batched). Each measurement
// alternates which side goes first, so that neither always meets a cold
// cache, and prints the ratio queued / blocking.
//
//     queue_bench [ROUNDS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

#include "loopback.hpp"
#include "plant.hpp"
#include "plant_common.hpp"

namespace vq6120::bench {
namespace {

constexpr int kSingles = 200;  // commands per single-command sample

// What a host's loop does after its commands in the mode: hand over what
// waits (the peer reads everything, so this ends at once).
bool settle(VQ6120_HANDLE h) {
    for (int i = 0; i < 100000; ++i) {
        const std::int32_t held = VQ6120Ex_Flush(h);
        if (held <= 0) {
            return held == 0;
        }
    }
    return false;
}

// Outside the measured time: waits until the peer took everything, after a
// command was refused because the peer thread fell behind (a loaded machine).
bool catch_up(VQ6120_HANDLE h) {
    for (int i = 0; i < 10000; ++i) {
        if (VQ6120Ex_Flush(h) < 0) {
            return false;
        }
        if (VQ6120Ex_WaitingBytes(h) == 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

std::int32_t singles(VQ6120_HANDLE h) {
    std::int32_t accepted = 0;
    for (int i = 0; i < kSingles; ++i) {
        accepted += DrawLine(h, static_cast<std::int16_t>(i % 240), 0, 239, static_cast<std::int16_t>(i % 64));
    }
    return accepted;
}

std::int32_t batched(VQ6120_HANDLE h) {
    if (VQ6120Ex_BeginBatch(h) != 1) {
        return 0;
    }
    const std::int32_t accepted = redraw(h);
    return VQ6120Ex_EndBatch(h) == 1 ? accepted : 0;
}

struct Workload {
    const char *what;
    std::function<std::int32_t(VQ6120_HANDLE)> run;
    std::int32_t commands;
    double per;  // the sample divided by this: commands, or 1 redraw
};

}  // namespace
}  // namespace vq6120::bench

int main(int argc, char **argv) {
    using namespace vq6120::bench;
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 2000;
    Listener listener;
    LibraryLink blocking = connect_library(listener);
    LibraryLink queued = connect_library(listener);
    if (VQ6120Ex_SetSendQueue(queued.host, VQ6120_SEND_QUEUE_DEFAULT) != 1) {
        std::fprintf(stderr, "queue_bench: the mode was refused\n");
        return 1;
    }
    std::vector<Fd> peers;
    peers.push_back(std::move(blocking.peer));
    peers.push_back(std::move(queued.peer));
    Drain drain(std::move(peers));

    const std::vector<Workload> workloads = {
        {"per command (DrawLine)", singles, kSingles, kSingles},
        {"per redraw, one by one", redraw, kRedrawCommands, 1},
        {"per redraw, batched", batched, kRedrawCommands, 1},
    };
    std::printf("queue_bench: %s, %d rounds, limit %d bytes\n", machine_note().c_str(), rounds,
                VQ6120_SEND_QUEUE_DEFAULT);
    std::printf("  %-26s %12s %12s %8s %8s %s\n", "host CPU", "blocking", "queued", "mean", "median",
                "queue-full retries");
    for (const Workload &w : workloads) {
        std::vector<double> cpu[2];
        int retries = 0;
        for (int round = 0; round < rounds; ++round) {
            for (int turn = 0; turn < 2; ++turn) {
                const bool queue = (turn == 0) == (round % 2 == 0);
                VQ6120_HANDLE h = queue ? queued.host : blocking.host;
                const std::int64_t start = thread_cpu_ns();
                const std::int32_t accepted = w.run(h);
                const bool settled = !queue || settle(h);
                const std::int64_t used = thread_cpu_ns() - start;
                if (queue && accepted != w.commands && VQ6120Ex_LastRefusal(h) == VQ6120_REFUSED_QUEUE_FULL &&
                    retries < rounds && catch_up(h)) {
                    ++retries;  // the peer fell behind: this sample again, once it caught up
                    --turn;
                    continue;
                }
                if (accepted != w.commands || !settled) {
                    std::fprintf(stderr, "queue_bench: %s: refused in round %d (reason %d)\n", w.what, round,
                                 VQ6120Ex_LastRefusal(h));
                    return 1;
                }
                cpu[queue ? 1 : 0].push_back(static_cast<double>(used));
            }
        }
        const double per = w.per;
        const double b_mean = mean(cpu[0]) / per, q_mean = mean(cpu[1]) / per;
        const double b_med = percentile(cpu[0], 50) / per, q_med = percentile(cpu[1], 50) / per;
        std::printf("  %-26s %9.2f us %9.2f us %7.3fx %7.3fx %d\n", w.what, b_mean / 1e3, q_mean / 1e3,
                    q_mean / b_mean, q_med / b_med, retries);
    }
    return 0;
}
