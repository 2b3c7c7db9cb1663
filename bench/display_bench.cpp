// The display encoder on the committed reference screens, against its
// baselines in the same run: one line command per row run, one pixel command
// per lit pixel, and the raw bitmap (1,920 bytes). Bytes are exact (the
// frames the commands make); the encoder's time is measured here, on this
// machine, beside the time of counting the row runs.
//   display_bench [--snapshots DIR]   DIR: PNGs of the screens as the
//                                     simulator shows them, after checking
//                                     that it shows each bit for bit
#include <arpa/inet.h>
#include <time.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "vq6120/screen/send.hpp"
#include "farm/farm.hpp"
#include "vq6120/display/screen_file.hpp"

using namespace vq6120::display;
using namespace vq6120::screen;

namespace {

Canvas load(const std::string &name) {
    Canvas c;
    std::string error;
    if (!read_screen(std::string(VQ6120_DISPLAY_REFERENCE) + "/" + name + ".screen", c, &error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return c;
}

int row_runs(const Canvas &c) {
    int runs = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (c.get(x, y) && !c.get(x - 1, y)) ++runs;
        }
    }
    return runs;
}

// Microseconds per call of `work` over `n` calls: the mean of the thread's
// CPU time (what the encoder costs, whatever else the machine runs) and the
// median of each call's wall-clock time.
struct Timing {
    double cpu_mean, wall_median;
};
double thread_cpu_us() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e6 + static_cast<double>(t.tv_nsec) / 1e3;
}
template <class F>
Timing micros(int n, F &&work) {
    std::vector<double> each;
    const double cpu_start = thread_cpu_us();
    for (int i = 0; i < n; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double, std::micro> d = std::chrono::steady_clock::now() - start;
        each.push_back(d.count());
    }
    const double cpu = (thread_cpu_us() - cpu_start) / n;
    std::sort(each.begin(), each.end());
    return {cpu, each[each.size() / 2]};
}

EncodeResult run(const Canvas &from, const Canvas &to, bool cells_whole) {
    EncodeOptions o;
    o.text_erases_cells = cells_whole;
    return encode(from, to, o, nullptr, nullptr);
}

int snapshots(const std::string &dir, const std::vector<std::string> &names) {
    std::ostringstream out, log;
    vq6120::sim::FarmOptions options;
    options.port = 0;
    vq6120::sim::Farm farm(options, out, log);
    std::string error;
    if (!farm.open(error)) {
        std::fprintf(stderr, "farm: %s\n", error.c_str());
        return 1;
    }
    std::thread loop([&] { farm.run(); });
    VQ6120_HANDLE h = InitialVQ6120(htonl(INADDR_LOOPBACK), farm.port(0));
    int status = 0;
    for (const std::string &name : names) {
        const Canvas c = load(name);
        VQ6120Ex_BeginBatch(h);
        ClearGraphicScreen(h);
        encode(Canvas{}, c, EncodeOptions{}, send_to_handle, h);
        VQ6120Ex_EndBatch(h);
        GetConnectStatus(h, 5);  // answered after the drawing
        const vq6120::sim::Terminal t = farm.terminal(0);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (t.graphic.pixel(x, y) != c.get(x, y)) {
                    std::fprintf(stderr, "%s: the simulator differs at %d,%d\n", name.c_str(), x, y);
                    status = 1;
                    y = kHeight;
                    break;
                }
            }
        }
        farm.command("on 0 snapshot " + dir + "/" + name + ".png", &error);
    }
    ExitVQ6120(h);
    farm.stop();
    loop.join();
    if (status == 0) std::printf("the simulator shows every screen bit for bit; pictures in %s\n", dir.c_str());
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> screens = {"dashboard", "bar_graph", "icons", "picture"};
    if (argc == 3 && std::string(argv[1]) == "--snapshots") return snapshots(argv[2], screens);

    std::printf("Full screens from a cleared screen (bytes on the wire; ratio: row runs / encoder)\n");
    std::printf("%-10s %6s %9s %9s %9s %9s %6s %7s\n", "screen", "lit", "encoder", "commands", "row runs",
                "pixels", "raw", "ratio");
    for (const std::string &name : screens) {
        const Canvas c = load(name);
        const EncodeResult r = run(Canvas{}, c, false);
        const int runs = row_runs(c) * 16, pixels = c.plane().count() * 12;
        std::printf("%-10s %6d %9d %9d %9d %9d %6d %6.2fx\n", name.c_str(), c.plane().count(), r.bytes, r.commands,
                    runs, pixels, 1920, static_cast<double>(runs) / r.bytes);
    }

    std::printf("\nUpdates (bytes / commands): interface only | text erases cells\n");
    const struct {
        const char *what, *from, *to;
    } updates[] = {
        {"digit added (nothing to erase)", "dashboard", "digit_added"},
        {"digit changed 5 -> 6 (erases)", "digit_added", "digit_changed"},
        {"bar grows (nothing to erase)", "bar_graph", "bar_grown"},
        {"bar shrinks (erases)", "bar_grown", "bar_shrunk"},
    };
    for (const auto &u : updates) {
        const Canvas from = load(u.from), to = load(u.to);
        const EncodeResult plain = run(from, to, false), cells = run(from, to, true);
        std::printf("%-34s %5d / %3d%s | %5d / %3d%s\n", u.what, plain.bytes, plain.commands,
                    plain.cleared ? " (clear, redraw)" : "", cells.bytes, cells.commands,
                    cells.cleared ? " (clear, redraw)" : "");
    }

    std::printf("\nEncoder time per full screen from blank over 1,000 calls (thread CPU mean / wall-clock median),\n"
                "beside counting the screen's row runs\n");
    for (const std::string &name : screens) {
        const Canvas c = load(name);
        volatile int sink = 0;
        const Timing enc = micros(1000, [&] { sink = sink + run(Canvas{}, c, false).bytes; });
        const Timing base = micros(1000, [&] { sink = sink + row_runs(c); });
        std::printf("%-10s encoder %7.1f / %7.1f us   row-run count %5.1f / %5.1f us   ratio %5.1fx\n", name.c_str(),
                    enc.cpu_mean, enc.wall_median, base.cpu_mean, base.wall_median, enc.cpu_mean / base.cpu_mean);
    }
    return 0;
}
