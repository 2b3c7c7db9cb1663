#include "send_queue.hpp"

#include <cstring>

#include "memory.hpp"

namespace vq6120 {

SendQueue::~SendQueue() { memory::release(bytes); }

bool reserve(SendQueue &q, std::size_t n) noexcept {
    if (q.size + n > q.limit) {
        return false;
    }
    if (q.begin + q.size + n <= q.capacity) {
        return true;
    }
    if (q.size + n <= q.capacity) {
        std::memmove(q.bytes, q.bytes + q.begin, q.size);
        q.begin = 0;
        return true;
    }
    std::size_t grown = q.capacity == 0 ? 4096 : q.capacity;
    while (grown < q.size + n) {
        grown *= 2;
    }
    grown = grown > q.limit ? q.limit : grown;
    if (q.begin != 0) {
        std::memmove(q.bytes, q.bytes + q.begin, q.size);
        q.begin = 0;
    }
    auto *more = static_cast<std::uint8_t *>(memory::reallocate(q.bytes, grown));
    if (more == nullptr) {
        return false;
    }
    q.bytes = more;
    q.capacity = grown;
    return true;
}

bool push(SendQueue &q, std::span<const std::uint8_t> frame) noexcept {
    if (frame.empty()) {
        return true;
    }
    if (!reserve(q, frame.size())) {
        return false;
    }
    std::memcpy(q.bytes + q.begin + q.size, frame.data(), frame.size());
    q.size += frame.size();
    return true;
}

void handed_over(SendQueue &q, std::size_t n) noexcept {
    if (n == 0) {
        return;
    }
    q.begin += n;
    q.size -= n;
    q.system += n;
    if (q.size == 0) {
        q.begin = 0;
    }
}

void measured(SendQueue &q, std::size_t reading) noexcept {
    if (reading < q.system) {
        q.stall.taken += q.system - reading;
    }
    q.system = reading;
}

net::Clock::duration until_judgement(const SendQueue &q, net::Clock::time_point now) noexcept {
    if (waiting(q) == 0) {
        return net::Clock::duration{-1};
    }
    const auto left = q.stall.since + kSendStall - now;
    return left > net::Clock::duration::zero() ? left : net::Clock::duration::zero();
}

void end_batch(SendQueue &q, bool keep) noexcept {
    if (!keep) {
        q.size -= q.batch;
        if (q.size == 0) {
            q.begin = 0;
        }
    }
    q.batch = 0;
}

void release(SendQueue &q) noexcept {
    memory::release(q.bytes);
    q.bytes = nullptr;
    q.begin = q.size = q.capacity = q.batch = 0;
}

}  // namespace vq6120
