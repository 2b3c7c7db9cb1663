// A full-screen redraw of 200 commands, sent one by one and as one batch:
// host CPU per redraw, TCP data segments per redraw, and the bytes on the
// wire, which must be the same either way.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <vector>

#include "loopback.hpp"
#include "plant.hpp"
#include "plant_common.hpp"

namespace vq6120::bench {

// 200 commands covering a screen: a frame, a grid, gauges, labels and marks,
// the mix of primitives a process picture is made of.
std::int32_t redraw(VQ6120_HANDLE h) {
    static const char *const kLabels[10] = {"Pump  1", "Pump  2", "Valve 3", "Tank  4", "Flow  5",
                                            "Temp  6", "Level 7", "Press 8", "Speed 9", "Alarm 0"};
    std::int32_t sent = ClearGraphicScreen(h);
    for (std::int16_t i = 0; i < 40; ++i) {  // grid
        sent += i < 20 ? DrawLine(h, static_cast<std::int16_t>(i * 12), 0, static_cast<std::int16_t>(i * 12), 63)
                       : DrawLine(h, 0, static_cast<std::int16_t>((i - 20) * 3), 239,
                                  static_cast<std::int16_t>((i - 20) * 3));
    }
    for (std::int16_t i = 0; i < 30; ++i) {  // bars
        const auto x = static_cast<std::int16_t>(i * 8);
        sent += DrawRectangle(h, x, static_cast<std::int16_t>(63 - i * 2), static_cast<std::int16_t>(x + 6), 63,
                              static_cast<std::uint8_t>(i & 1));
    }
    for (std::int16_t i = 0; i < 20; ++i) {  // gauges
        sent += DrawCircle(h, static_cast<std::int16_t>(10 + i * 11), 20, static_cast<std::int16_t>(4 + i % 6),
                           static_cast<std::uint8_t>(i & 1));
    }
    for (std::int16_t i = 0; i < 10; ++i) {
        sent += DrawEllipse(h, static_cast<std::int16_t>(20 + i * 22), 40, 9, 5, static_cast<std::uint8_t>(i & 1));
        sent += DrawRhombus(h, static_cast<std::int16_t>(20 + i * 22), 52, 6, 4);
    }
    for (std::int16_t i = 0; i < 50; ++i) {  // labels
        sent += DrawAText(h, static_cast<std::int16_t>((i % 5) * 48), static_cast<std::int16_t>((i / 5) * 6),
                          kLabels[i % 10], 7);
    }
    for (std::int16_t i = 0; i < 39; ++i) {  // marks
        sent += DrawPixel(h, static_cast<std::int16_t>(i * 6), static_cast<std::int16_t>(i % 64));
    }
    return sent;
}

namespace {

constexpr std::int32_t kCommands = kRedrawCommands;

std::int32_t batched_redraw(VQ6120_HANDLE h) {
    if (VQ6120Ex_BeginBatch(h) != 1) {
        return 0;
    }
    const std::int32_t accepted = redraw(h);
    return VQ6120Ex_EndBatch(h) == 1 ? accepted : 0;
}

// Data segments the socket has sent so far (Linux's per-socket counter).
std::uint64_t data_segments_out(VQ6120_HANDLE h) {
    tcp_info info{};
    socklen_t length = sizeof info;
    const int fd = static_cast<int>(VQ6120Ex_GetSocket(h));
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return 0;
    }
    return info.tcpi_data_segs_out;
}

// Everything that arrives on `fd` until it has been quiet for `quiet_ms`.
Bytes read_until_quiet(int fd, int quiet_ms) {
    Bytes out;
    std::uint8_t chunk[65536];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, quiet_ms) == 1) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        out.insert(out.end(), chunk, chunk + n);
    }
    return out;
}

struct Side {
    std::vector<double> cpu_ns;
    std::uint64_t segments = 0;
};

}  // namespace

int run_redraw(const RedrawOptions &options) {
    Listener listener;
    LibraryLink one_by_one = connect_library(listener);
    LibraryLink batched = connect_library(listener);

    // The same redraw both ways must put the same bytes on the wire.
    if (redraw(one_by_one.host) != kCommands || batched_redraw(batched.host) != kCommands) {
        std::fprintf(stderr, "redraw: a command was refused\n");
        return 1;
    }
    const Bytes plain = read_until_quiet(one_by_one.peer.get(), 200);
    const Bytes collected = read_until_quiet(batched.peer.get(), 200);
    const bool identical = !plain.empty() && plain == collected;
    std::printf("redraw: %d commands, %zu bytes; batched bytes %s\n", kCommands, plain.size(),
                identical ? "identical" : "DIFFER");
    if (!identical) {
        return 1;
    }

    std::vector<Fd> peers;
    peers.push_back(std::move(one_by_one.peer));
    peers.push_back(std::move(batched.peer));
    Drain drain(std::move(peers));

    Side unbatched_side;
    Side batched_side;
    const std::uint64_t segments_before[2] = {data_segments_out(one_by_one.host), data_segments_out(batched.host)};
    for (int round = 0; round < options.rounds; ++round) {
        // Alternate which goes first so that neither always meets a cold cache.
        for (int turn = 0; turn < 2; ++turn) {
            const bool batch = (turn == 0) == (round % 2 == 0);
            const std::int64_t start = thread_cpu_ns();
            const std::int32_t accepted = batch ? batched_redraw(batched.host) : redraw(one_by_one.host);
            const std::int64_t used = thread_cpu_ns() - start;
            if (accepted != kCommands) {
                std::fprintf(stderr, "redraw: a redraw failed in round %d\n", round);
                return 1;
            }
            (batch ? batched_side : unbatched_side).cpu_ns.push_back(static_cast<double>(used));
        }
    }
    unbatched_side.segments = data_segments_out(one_by_one.host) - segments_before[0];
    batched_side.segments = data_segments_out(batched.host) - segments_before[1];

    const double rounds = options.rounds;
    std::printf("redraw: %s, %d redraws each way\n", machine_note().c_str(), options.rounds);
    std::printf("  %-28s %14s %14s %10s\n", "", "one by one", "batched", "ratio");
    const auto row = [](const char *what, double plain, double batch, const char *target) {
        std::printf("  %-28s %11.1f us %11.1f us %9.1fx   %s\n", what, plain / 1e3, batch / 1e3, plain / batch, target);
    };
    // The mean is the CPU the host spends on redraws in all; the median and
    // p90 show how it is spread.
    row("host CPU per redraw, mean", mean(unbatched_side.cpu_ns), mean(batched_side.cpu_ns), "(target >= 20x)");
    row("host CPU per redraw, median", percentile(unbatched_side.cpu_ns, 50), percentile(batched_side.cpu_ns, 50), "");
    row("host CPU per redraw, p90", percentile(unbatched_side.cpu_ns, 90), percentile(batched_side.cpu_ns, 90), "");
    std::printf("  %-28s %14.1f %14.2f %9.1fx\n", "TCP data segments per redraw",
                static_cast<double>(unbatched_side.segments) / rounds,
                static_cast<double>(batched_side.segments) / rounds,
                static_cast<double>(unbatched_side.segments) / static_cast<double>(batched_side.segments));
    return 0;
}

}  // namespace vq6120::bench
