// vq6120/poller/posted.hpp: work handed to the Poller's thread from any
// thread. Part of vq6120.hpp; include that.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace vq6120::detail {

// A queue of functions: pushed from any thread, taken one at a time on the
// loop's thread. The wait is woken by the Poller's reactor, not here.
class Posted {
public:
    void push(std::function<void()> fn) {
        const std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
    }
    std::size_t size() {
        const std::lock_guard lock(mutex_);
        return queue_.size();
    }
    // The oldest; only while size() > 0.
    std::function<void()> take() {
        const std::lock_guard lock(mutex_);
        std::function<void()> fn = std::move(queue_.front());
        queue_.pop_front();
        return fn;
    }

private:
    std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
};

}  // namespace vq6120::detail
