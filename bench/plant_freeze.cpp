// A plant on a bad day, served by the Poller on one thread: every terminal
// sends stamped events and its auto report and gets a 200-command redraw
// each second; then one terminal stops reading (the farm's `freeze`) for a
// while; then the host's loop is held for five seconds once. The phase
// without the freeze is the baseline of the one with it, in the same run.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "plant.hpp"
#include "plant_common.hpp"
#include "plant_events.hpp"
#include "vq6120.hpp"

namespace vq6120::bench {

namespace {

using std::chrono::milliseconds;

std::int64_t rss_kib() {
    std::ifstream in("/proc/self/status");
    std::string key;
    std::int64_t value = 0;
    while (in >> key) {
        if (key == "VmRSS:") {
            in >> value;
            return value;
        }
        in.ignore(4096, '\n');
    }
    return 0;
}

// 200 commands, about 3 KiB: lines and labels of a process picture.
bool redraw(Terminal &t, std::uint64_t n) {
    auto batch = t.batch();
    for (int i = 0; i < 100; ++i) {
        t.draw_line(0, i % 64, 239, 63 - i % 64);
        t.draw_text(i % 200, i % 60, "P" + std::to_string((n + static_cast<std::uint64_t>(i)) % 1000));
    }
    return batch.end();
}

struct Phase {
    EventFigures events;   // the other terminals' events
    double longest_round_ms = 0;  // from a round's first callback to its end
    double longest_redraw_ms = 0; // one terminal's redraw, queued
    std::uint64_t lost = 0;       // terminals lost other than the frozen one
    std::uint64_t skipped = 0;    // redraws skipped for a terminal behind
};

class Plant {
public:
    Plant(const Farm &farm, int frozen_redraws) : frozen_redraws_(frozen_redraws) {
        poller_.on_event([this](TerminalId id, void *, Event &event) {
            if (round_start_ == 0) {
                round_start_ = monotonic_ns();
            }
            if (hold_) {
                hold_ = false;
                std::this_thread::sleep_for(std::chrono::seconds(5));
            }
            if (const auto *serial = std::get_if<SerialData>(&event); serial != nullptr && phase_ != nullptr &&
                                                                    id != frozen_) {
                phase_->events.record(serial->bytes, monotonic_ns());
            }
        });
        poller_.on_state([this](const StateChange &c) {
            if (c.state != State::Lost) {
                return;
            }
            if (c.id == frozen_) {
                frozen_lost_ns_ = frozen_lost_ns_ == 0 ? monotonic_ns() : frozen_lost_ns_;
                frozen_reason_ = c.reason;
            } else if (phase_ != nullptr) {
                ++phase_->lost;
                reasons_ += " " + std::string(c.reason);
            }
        });
        for (const std::uint16_t port : farm.ports()) {
            TerminalConfig config;
            config.endpoint = Endpoint{htonl(INADDR_LOOPBACK), port};
            config.auto_report = 10;
            ids_.push_back(poller_.add(config));
        }
        frozen_ = ids_.front();
        const std::int64_t give_up = monotonic_ns() + 30'000'000'000;
        while (poller_.online() < ids_.size() && monotonic_ns() < give_up) {
            poller_.run_once(milliseconds(100));
        }
        if (poller_.online() < ids_.size()) {
            throw std::runtime_error("only " + std::to_string(poller_.online()) + " terminals came online");
        }
    }

    // Serves for `seconds`, redrawing each terminal once a second (terminal
    // i at i/N of each second).
    Phase run(double seconds) {
        Phase phase;
        phase_ = &phase;
        phase.events.since_ns = monotonic_ns();
        const std::int64_t start = monotonic_ns();
        const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
        std::uint64_t done = 0;
        std::uint64_t extra = 0;
        for (std::int64_t now = start; now < end; now = monotonic_ns()) {
            // Terminal 0's redraws beyond the one a second, to reach its
            // limit sooner in a short run.
            const auto extra_due = static_cast<std::uint64_t>(static_cast<double>(now - start) / 1e9 *
                                                              std::max(frozen_redraws_ - 1, 0));
            for (; extra < extra_due; ++extra) {
                redraw_one(phase, frozen_, extra, now);
            }
            const auto due = static_cast<std::uint64_t>(static_cast<double>(now - start) / 1e9 *
                                                        static_cast<double>(ids_.size()));
            for (; done < due; ++done) {
                redraw_one(phase, ids_[done % ids_.size()], done, now);
            }
            round_start_ = 0;
            poller_.run_once(milliseconds(1));
            if (round_start_ != 0) {
                phase.longest_round_ms = std::max(phase.longest_round_ms, (monotonic_ns() - round_start_) / 1e6);
            }
        }
        phase_ = nullptr;
        return phase;
    }

    void hold_once() { hold_ = true; }
    TerminalId frozen() const { return frozen_; }
    std::int32_t most_waiting() const { return most_waiting_; }
    // From the first refusal for the frozen terminal to its loss, in ms;
    // negative when it was not lost.
    double frozen_lost_after_ms() const {
        return frozen_lost_ns_ == 0 || frozen_full_ns_ == 0 ? -1 : (frozen_lost_ns_ - frozen_full_ns_) / 1e6;
    }
    const std::string &frozen_reason() const { return frozen_reason_; }
    const std::string &other_reasons() const { return reasons_; }

private:
    void redraw_one(Phase &phase, TerminalId id, std::uint64_t n, std::int64_t now) {
        if (poller_.behind(id)) {
            ++phase.skipped;
            note_behind(id, now);
            return;
        }
        if (Terminal *t = poller_.terminal(id)) {
            const std::int64_t before = monotonic_ns();
            if (!redraw(*t, n)) {
                note_behind(id, now);
            }
            phase.longest_redraw_ms = std::max(phase.longest_redraw_ms, (monotonic_ns() - before) / 1e6);
        }
        if (id == frozen_) {
            most_waiting_ = std::max(most_waiting_, poller_.waiting_bytes(id));
        }
    }

    void note_behind(TerminalId id, std::int64_t now) {
        if (id == frozen_ && frozen_full_ns_ == 0) {
            frozen_full_ns_ = now;
        }
    }

    int frozen_redraws_;
    Poller poller_;
    std::vector<TerminalId> ids_;
    TerminalId frozen_ = 0;
    Phase *phase_ = nullptr;
    bool hold_ = false;
    std::int64_t round_start_ = 0;
    std::int64_t frozen_full_ns_ = 0;
    std::int64_t frozen_lost_ns_ = 0;
    std::int32_t most_waiting_ = 0;
    std::string frozen_reason_;
    std::string reasons_;
};

}  // namespace

int run_freeze(const FreezeOptions &o) {
    const auto limit = raise_descriptor_limit(static_cast<std::uint64_t>(o.terminals) + 256);
    if (limit < static_cast<std::uint64_t>(o.terminals) + 64) {
        std::fprintf(stderr, "freeze: the descriptor limit is too low for %d terminals\n", o.terminals);
        return 1;
    }
    Farm farm(o.farm, o.terminals);
    Plant plant(farm, o.frozen_redraws);
    start_traffic(farm, o.rate);
    plant.run(2);  // warm-up

    const Phase calm = plant.run(o.seconds);
    farm.command("on 0 freeze");
    farm.sync();
    const std::int64_t rss_before = rss_kib();
    const Phase frozen = plant.run(o.freeze_seconds);
    const std::int64_t rss_after = rss_kib();
    farm.command("on 0 thaw");
    farm.sync();
    plant.run(2);
    plant.hold_once();
    const Phase held = plant.run(8);
    const std::string note = machine_note();

    std::printf("freeze: %d terminals, %d events/s and a 200-command redraw a second each (terminal 0: %d a "
                "second), auto report 1 s; %.0f s calm, %.0f s with terminal 0 frozen; %s\n",
                o.terminals, o.rate, o.frozen_redraws, o.seconds, o.freeze_seconds, note.c_str());
    const auto p99 = [](const Phase &p) { return percentile(p.events.latency_us, 99) / 1e3; };
    std::printf("  others' p99 send->callback: calm %.2f ms, frozen %.2f ms, ratio %.2fx   (target <= 1.5x)\n",
                p99(calm), p99(frozen), p99(calm) > 0 ? p99(frozen) / p99(calm) : 0);
    std::printf("  longest round: calm %.2f ms, frozen %.2f ms   (target <= 5 ms)\n", calm.longest_round_ms,
                frozen.longest_round_ms);
    std::printf("  longest redraw call: calm %.3f ms, frozen %.3f ms\n", calm.longest_redraw_ms,
                frozen.longest_redraw_ms);
    std::printf("  frozen terminal: most waiting %d bytes (limit %d); lost \"%s\" %.0f ms after its queue "
                "first refused (stall bound %d ms); redraws skipped while behind: %llu\n",
                plant.most_waiting(), VQ6120_SEND_QUEUE_DEFAULT, plant.frozen_reason().c_str(),
                plant.frozen_lost_after_ms(), VQ6120_SEND_STALL_SECONDS * 1000 - 1000,
                static_cast<unsigned long long>(frozen.skipped));
    std::printf("  RSS over the freeze: %lld KiB -> %lld KiB\n", static_cast<long long>(rss_before),
                static_cast<long long>(rss_after));
    std::printf("  held loop (one callback sleeping 5 s): %llu of %d others lost%s\n",
                static_cast<unsigned long long>(held.lost), o.terminals - 1, plant.other_reasons().c_str());
    std::printf("  events counted: calm %zu, frozen %zu; others lost while calm or frozen: %llu\n",
                calm.events.events(), frozen.events.events(),
                static_cast<unsigned long long>(calm.lost + frozen.lost));
    const bool sound = calm.events.events() > 0 && frozen.events.events() > 0 && calm.lost + frozen.lost == 0;
    return sound ? 0 : 1;
}

}  // namespace vq6120::bench
