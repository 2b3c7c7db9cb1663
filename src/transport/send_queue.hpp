// The queued send mode as functions over bytes and times: the bytes waiting
// for one terminal, the limit on them, the write batch inside them, and the
// stall rule. No socket call is made here; queued.cpp feeds in what the
// socket took and what the system reports, so the rules are tested with
// times the tests choose.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>

#include "../../include/VQ6120_LIB.h"
#include "../../include/vq6120/detail/stall_rule.hpp"
#include "socket.hpp"

namespace vq6120 {

inline constexpr auto kSendStall = std::chrono::seconds(VQ6120_SEND_STALL_SECONDS);

struct SendQueue {
    SendQueue() = default;
    SendQueue(const SendQueue &) = delete;
    SendQueue &operator=(const SendQueue &) = delete;
    ~SendQueue();

    // Held bytes are bytes[begin, begin + size): first the ones to send, then
    // those of an open batch (the last `batch` bytes), which wait for its end.
    std::uint8_t *bytes = nullptr;
    std::size_t begin = 0;
    std::size_t size = 0;
    std::size_t capacity = 0;  // never above the limit
    std::size_t batch = 0;
    // The most that may wait: held bytes plus the system's part. 0: mode off.
    std::size_t limit = 0;
    // The system's send buffer: its last reading plus what was handed to the
    // socket since, so never below what really sits there.
    std::size_t system = 0;
    // The stall rule's state: the terminal took `stall.taken` bytes (the
    // system's buffer shrank by them) since the bound began.
    detail::StallRule<net::Clock::time_point> stall;
};

inline std::size_t waiting(const SendQueue &q) noexcept { return q.size + q.system; }

// Whether `n` more bytes keep what waits within the limit.
inline bool admits(const SendQueue &q, std::size_t n) noexcept { return waiting(q) + n <= q.limit; }

// The bytes to hand to the socket: all held ones but an open batch's.
inline std::span<const std::uint8_t> sendable(const SendQueue &q) noexcept {
    return {q.bytes + q.begin, q.size - q.batch};
}

// Makes room for `n` more bytes without passing the limit; false when the
// memory cannot be had or the room would pass the limit.
bool reserve(SendQueue &q, std::size_t n) noexcept;

// Appends `frame` (room reserved or not); false as reserve.
bool push(SendQueue &q, std::span<const std::uint8_t> frame) noexcept;

// The socket took the first `n` sendable bytes.
void handed_over(SendQueue &q, std::size_t n) noexcept;

// The socket took `n` bytes that were never held (a frame sent at once).
inline void sent_past(SendQueue &q, std::size_t n) noexcept { q.system += n; }

// The system reported `reading` bytes in its send buffer; fewer than
// counted means the terminal took the difference.
void measured(SendQueue &q, std::size_t reading) noexcept;

// The stall rule (vq6120/detail/stall_rule.hpp) with the library's bound.
// Handing bytes to the socket is not reading: only the system's buffer
// shrinking is. False, with the bound started afresh at `now`, when the
// terminal reads; true when bytes wait and the bound has run out without it.
inline bool stall_judged(SendQueue &q, net::Clock::time_point now) noexcept {
    return q.stall.judge(q.limit, waiting(q), now, kSendStall);
}

// Whether a judgement is due at `now` (without stamping).
inline bool stall_due(const SendQueue &q, net::Clock::time_point now) noexcept {
    return q.stall.due(waiting(q), now, kSendStall);
}

// Until the stall rule must next be judged: the time from `now` until the
// bound runs out (zero once it has), or a negative duration when nothing
// waits (no stall can come without more bytes).
net::Clock::duration until_judgement(const SendQueue &q, net::Clock::time_point now) noexcept;

// The open batch is queued (`keep`) or its bytes dropped.
void end_batch(SendQueue &q, bool keep) noexcept;

// Frees the held memory; the limit stays.
void release(SendQueue &q) noexcept;

}  // namespace vq6120
