// vq6120/poller/send_progress.hpp: whether the bytes waiting for a terminal
// move, and when a terminal that takes none of them counts as not reading.
// Part of vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "vq6120/endpoint.hpp"
#include "vq6120/poller/due_heap.hpp"
#include "vq6120/terminal.hpp"

namespace vq6120::detail {

// The bytes waiting for one terminal (its send queue and the system's send
// buffer), read after each hand-on, and since when they last moved.
//
// The rule: the bytes moved when what waits went down by a sixteenth of the
// send-queue limit since they last moved, or nothing waits. A terminal that
// stopped reading still lets its system take a few KiB now and then (the
// receive window opening by a sliver); that is not reading. Bytes that wait
// without moving for the stall bound: the terminal is not reading. The rule
// is judged at deadline(), which is all the Poller asks of it.
class SendProgress {
public:
    SendProgress() = default;
    SendProgress(std::int32_t limit, std::chrono::milliseconds stall_bound) noexcept
        : limit_(limit), bound_(stall_bound) {}

    // What went down by `step` or more counts as moving.
    static constexpr std::int32_t step(std::int32_t limit) noexcept { return limit / 16; }
    // What waits now counts as moved against the most that waited since the
    // bytes last moved.
    static constexpr bool moved(std::int32_t waiting, std::int32_t most, std::int32_t limit) noexcept {
        return waiting + step(limit) <= most;
    }

    // Online: nothing waits, and the bound starts now.
    void start(Clock::time_point now) noexcept {
        waiting_ = 0;
        most_ = 0;
        since_ = now;
    }
    // Takes in what waits now; true when nothing does.
    bool observe(std::int32_t waiting, Clock::time_point now) noexcept {
        const std::int32_t w = std::max(waiting, 0);
        if (w == 0 || waiting_ == 0 || moved(w, most_, limit_)) {
            since_ = now;
            most_ = w;
        }
        most_ = std::max(most_, w);
        waiting_ = w;
        return w == 0;
    }

    std::int32_t waiting() const noexcept { return waiting_; }
    // When the rule must next be judged: the stall bound after the bytes
    // last moved while some wait, else never.
    Clock::time_point deadline() const noexcept { return waiting_ > 0 ? later(since_, bound_) : kNever; }
    // Bytes waited without moving for the stall bound.
    bool stalled(Clock::time_point now) const noexcept { return waiting_ > 0 && now >= deadline(); }

    // At least the high-water mark waits: `high_water`, or half the limit
    // when that is 0.
    bool behind(std::int32_t high_water) const noexcept {
        return waiting_ >= (high_water > 0 ? high_water : limit_ / 2);
    }

private:
    std::int32_t limit_ = 0;
    std::chrono::milliseconds bound_{0};
    std::int32_t waiting_ = 0;
    std::int32_t most_ = 0;  // the most that waited since `since_`
    Clock::time_point since_{};
};

}  // namespace vq6120::detail
