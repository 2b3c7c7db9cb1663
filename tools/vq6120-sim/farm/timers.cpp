// Time: the heap of deadlines, the terminals' own timers, a restarted
// listener's return, and traffic on its own with its stamp.
#include <algorithm>

#include "farm/farm.hpp"
#include "farm/slot.hpp"

namespace vq6120::sim {

namespace {

// Traffic that fell behind catches up by at most this many frames at once,
// or 10 ms worth at high rates (the loop's timer counts in milliseconds).
constexpr double kTrafficBurst = 8;
// How long a restarted listener waits before trying its port again.
constexpr auto kReopenRetry = std::chrono::milliseconds(100);

void put_le64(std::uint8_t *p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint64_t get_le64(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

}  // namespace

std::optional<TrafficStamp> read_traffic_stamp(std::span<const std::uint8_t> payload) {
    if (payload.size() != kTrafficPayloadSize) {
        return std::nullopt;
    }
    return TrafficStamp{get_le64(payload.data()), get_le64(payload.data() + 8)};
}

Clock::time_point Farm::traffic_start(std::size_t i, Clock::time_point now) const {
    // The terminals' frames are spread evenly over one period, not sent in
    // one burst from all of them at once.
    const double period = slots_[i]->rate > 0 ? 1.0 / slots_[i]->rate : 0.0;
    const double offset = period * static_cast<double>(i) / static_cast<double>(slots_.size());
    return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
}

void Farm::schedule(std::size_t i) {
    Slot &s = *slots_[i];
    std::optional<Clock::time_point> next = s.terminal.next_deadline();
    auto earlier = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (s.connected() && s.rate > 0) {
        earlier(s.next_traffic);
    }
    if (s.reopen_at) {
        earlier(*s.reopen_at);
    }
    // Only an earlier deadline needs an entry of its own; a later one is
    // found when the earlier entry fires.
    if (next && (!s.queued || *next < *s.queued)) {
        s.queued = next;
        deadlines_.emplace(*next, i);
    }
}

void Farm::on_time(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    if (s.reopen_at && now >= *s.reopen_at) {
        s.reopen_at.reset();
        if (!reopen(i)) {
            s.reopen_at = now + kReopenRetry;
        }
    }
    std::string note;
    for (const auto &f : s.terminal.on_time(now, &note)) {
        send(i, f);
    }
    if (!note.empty()) {
        log_ << s.who << note << "\n";
    }
    if (s.connected() && s.rate > 0) {
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / s.rate));
        const double burst_limit = std::max(kTrafficBurst, s.rate / 100);
        for (double burst = 0; s.next_traffic <= now && burst < burst_limit && s.connected(); ++burst) {
            Bytes payload(kTrafficPayloadSize);
            put_le64(payload.data(), s.sequence++);
            put_le64(payload.data() + 8, os::monotonic_ns());
            if (s.traffic_port == 0) {
                send(i, s.terminal.key_frame(static_cast<std::uint8_t>(payload[0])));
            } else {
                for (const auto &f : s.terminal.serial_frames(s.traffic_port, payload)) {
                    send(i, f);
                }
            }
            s.next_traffic += period;
        }
        if (s.next_traffic <= now) {
            s.next_traffic = now + period;  // fell behind: no endless burst
        }
    }
}

}  // namespace vq6120::sim
