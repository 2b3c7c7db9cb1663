// vq6120/detail/stall_rule.hpp: when a terminal that bytes wait for counts
// as not reading. The library's queued send mode judges its connections by
// it, and the Poller judges its terminals by it on its own clock: one rule,
// over bytes and times, with no clock read and no socket call.
#pragma once

#include <algorithm>
#include <cstddef>

namespace vq6120::detail {

// The share of the limit the terminal must take within the bound to count as
// reading: a frozen peer's system still takes a few KiB now and then (its
// receive window opening by a sliver), which is not reading.
inline constexpr std::size_t kReadingShare = 16;

// The terminal is reading when, since the bound began at `since`, it took at
// least a sixteenth of the limit (exactly a sixteenth counts), or all that
// waited when the bound began (a few bytes in flight are not a stall), or
// nothing waits. Only bytes the terminal took count, never bytes handed on
// towards it. Each judgement that finds it reading starts the bound afresh;
// bytes that wait while it is not reading for the whole bound: stalled.
template <class TimePoint>
struct StallRule {
    using Duration = typename TimePoint::duration;

    TimePoint since{};
    std::size_t taken = 0;  // what the terminal took since `since`
    std::size_t owed = 0;   // what waited at `since`

    constexpr bool reading(std::size_t limit, std::size_t waiting) const noexcept {
        return waiting == 0 || taken >= std::min(limit / kReadingShare, owed);
    }
    constexpr void restart(TimePoint now, std::size_t waiting) noexcept {
        since = now;
        taken = 0;
        owed = waiting;
    }
    // Whether the bound has run out at `now` with bytes waiting (without
    // judging): a stall cannot have happened before it is.
    constexpr bool due(std::size_t waiting, TimePoint now, Duration bound) const noexcept {
        return waiting != 0 && now - since >= bound;
    }
    // Judges at `now`: restarts the bound and returns false when the
    // terminal is reading; true when it stalled.
    constexpr bool judge(std::size_t limit, std::size_t waiting, TimePoint now, Duration bound) noexcept {
        if (reading(limit, waiting)) {
            restart(now, waiting);
            return false;
        }
        return due(waiting, now, bound);
    }
};

}  // namespace vq6120::detail
