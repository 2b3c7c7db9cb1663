// vq6120/poller/due_heap.hpp: the Poller's deadlines in one min-heap, with
// lazy deletion. Part of vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "vq6120/endpoint.hpp"

namespace vq6120::detail {

// A deadline that never comes.
inline constexpr Clock::time_point kNever = Clock::time_point::max();

// A deadline and whose it is (a terminal or a timer, by the key).
struct Due {
    Clock::time_point at;
    std::uint64_t key;
    bool operator>(const Due &o) const noexcept { return at > o.at; }
};

// The earliest deadline first. An entry its owner no longer wants (a
// cancelled timer, a terminal rescheduled earlier) is not searched for and
// removed: it stays until it comes up, is then skipped by its owner, and is
// counted as stale meanwhile, so that a host that re-arms long timers all
// the time cannot pile them up without end (sweep when crowded()).
class DueHeap {
public:
    bool empty() const noexcept { return heap_.empty(); }
    std::size_t size() const noexcept { return heap_.size(); }
    const Due &top() const noexcept { return heap_.front(); }

    void push(const Due &d) {
        heap_.push_back(d);
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    }
    Due pop() noexcept {
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
        const Due d = heap_.back();
        heap_.pop_back();
        return d;
    }

    // One more entry is no longer wanted.
    void add_stale() noexcept { ++stale_; }
    // A stale entry came up and was skipped.
    void skipped_stale() noexcept { stale_ -= stale_ > 0 ? 1 : 0; }
    // The stale entries outnumber the live ones by enough to sweep.
    bool crowded() const noexcept { return stale_ > heap_.size() / 2 + 1024; }
    std::size_t stale() const noexcept { return stale_; }

    // Keeps only the entries `live(due)` still wants.
    template <class Live>
    void sweep(Live &&live) {
        std::erase_if(heap_, [&live](const Due &d) { return !live(d); });
        std::make_heap(heap_.begin(), heap_.end(), std::greater<>{});
        stale_ = 0;
    }

private:
    std::vector<Due> heap_;
    std::size_t stale_ = 0;
};

}  // namespace vq6120::detail
