// The queued send mode over a handle (queued.cpp): commands that never wait
// for the terminal. Built on the handle record and the queue's rules alone;
// the sending layer above (connection.hpp) routes frames here.
#pragma once

#include <cstdint>
#include <span>

#include "handle.hpp"

namespace vq6120 {

// A frame into the queue: 1 queued (or sent), 0 refused with the reason
// recorded.
std::int32_t queue_frame(Connection &c, std::span<const std::uint8_t> frame) noexcept;
// Sends what the socket takes of the queue and judges the stall rule: the
// bytes still to send, or -1 when the connection is over.
std::int32_t flush_queue(Connection &c) noexcept;
// Judges the stall rule when it may have run out (cheap otherwise).
void judge_stall_if_due(Connection &c) noexcept;
// Enters the mode the limit asks for on a connected handle: Direct for 0,
// Queued otherwise, its measurements started afresh.
void enter_mode(Connection &c) noexcept;
// Batches in the mode; ending returns EndBatch's result.
void queue_begin_batch(Connection &c) noexcept;
std::int32_t queue_end_batch(Connection &c) noexcept;
inline bool queued_mode(const Connection &c) noexcept {
    return c.mode == Mode::Queued;
}

}  // namespace vq6120
