// vq6120/poller/send_progress.hpp: whether the terminal takes the bytes
// waiting for it, and when one that does not counts as not reading. Part of
// vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "vq6120/detail/stall_rule.hpp"
#include "vq6120/endpoint.hpp"
#include "vq6120/poller/due_heap.hpp"
#include "vq6120/terminal.hpp"

namespace vq6120::detail {

// The bytes waiting for one terminal (its send queue and the system's send
// buffer), read after each hand-on, judged by the library's stall rule
// (stall_rule.hpp) with the Poller's bound and on the Poller's clock.
//
// The Poller sees only what waits, so what waits going down between two
// readings is what the terminal took: handing bytes on to the system moves
// them within what waits, and commands only add to it. (Bytes added and
// taken between the same two readings offset each other; the Poller reads
// after every round, and the library judges its own count as well.) The rule
// is judged at each reading and at deadline(), which is all the Poller asks
// of it.
class SendProgress {
public:
    SendProgress() = default;
    SendProgress(std::int32_t limit, std::chrono::milliseconds stall_bound) noexcept
        : limit_(static_cast<std::size_t>(std::max(limit, 0))), bound_(stall_bound) {}

    // Online: nothing waits, and the bound starts now.
    void start(Clock::time_point now) noexcept {
        waiting_ = 0;
        rule_.restart(now, 0);
    }
    // Takes in what waits now; true when nothing does.
    bool observe(std::int32_t waiting, Clock::time_point now) noexcept {
        const auto w = static_cast<std::size_t>(std::max(waiting, 0));
        if (w < waiting_) {
            rule_.taken += waiting_ - w;
        }
        waiting_ = w;
        if (rule_.reading(limit_, w)) {
            rule_.restart(now, w);
        }
        return w == 0;
    }

    std::int32_t waiting() const noexcept { return static_cast<std::int32_t>(waiting_); }
    // When the rule must next be judged: the stall bound after it last
    // found the terminal reading while some bytes wait, else never.
    Clock::time_point deadline() const noexcept { return waiting_ > 0 ? later(rule_.since, bound_) : kNever; }
    // Bytes waited without the terminal reading for the stall bound.
    bool stalled(Clock::time_point now) const noexcept { return waiting_ > 0 && now >= deadline(); }

    // At least the high-water mark waits: `high_water`, or half the limit
    // when that is 0.
    bool behind(std::int32_t high_water) const noexcept {
        return waiting() >= (high_water > 0 ? high_water : static_cast<std::int32_t>(limit_ / 2));
    }

private:
    std::size_t limit_ = 0;
    std::chrono::milliseconds bound_{0};
    std::size_t waiting_ = 0;
    StallRule<Clock::time_point> rule_;
};

}  // namespace vq6120::detail
