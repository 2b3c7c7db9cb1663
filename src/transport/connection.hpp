// The record behind a handle, and the two steps every exported function over
// a connection shares: sending one frame and reading more bytes into the
// receive buffer.
#pragma once

#include <cstdint>
#include <span>

#include "../../include/VQ6120_LIB.h"
#include "batch.hpp"
#include "receive_buffer.hpp"
#include "send_queue.hpp"
#include "socket.hpp"

namespace vq6120 {

// Where a built frame goes. Direct is the only mode of a handle from
// InitialVQ6120 that no batch was begun on.
enum class Route : std::uint8_t {
    Direct,         // to the socket, now
    Batching,       // into the batch, sent when it ends
    Connecting,     // opened without blocking, connect not through: refused
    ConnectFailed,  // that connect failed: refused, reads as closed
    Queueing,       // queued send mode: to the socket as far as it takes it, the rest queued
    QueueBatching,  // queued send mode with a batch open: into the queue, held until it ends
};

}  // namespace vq6120

struct VQ6120_Connection {
    vq6120::net::Socket socket = vq6120::net::kInvalidSocket;
    // A send stalled past the bound and the socket was shut down (or, in the
    // queued mode, a send failed): the connection reads as closed from then on.
    bool stalled = false;
    vq6120::Route route = vq6120::Route::Direct;
    // Why the last sending or changing call was refused (VQ6120_REFUSED_*).
    std::uint8_t refusal = VQ6120_REFUSED_NONE;
    // Queued mode: the socket refused bytes at its last send, and why an open
    // batch will be refused at its end (VQ6120_REFUSED_NONE: it will not).
    bool socket_full = false;
    std::uint8_t batch_refusal = VQ6120_REFUSED_NONE;
    // Where the system does not report its send buffer: the bound the mode
    // set on it (0: measured).
    std::size_t system_bound = 0;
    vq6120::Batch batch;
    vq6120::SendQueue queue;
    vq6120::ReceiveBuffer received;
};

namespace vq6120 {

using Connection = ::VQ6120_Connection;

// Records why a call was refused (or that it was accepted: VQ6120_REFUSED_NONE)
// and returns its result.
inline std::int32_t refuse(Connection &c, std::uint8_t reason) noexcept {
    c.refusal = reason;
    return 0;
}
inline std::int32_t accept(Connection &c) noexcept {
    c.refusal = VQ6120_REFUSED_NONE;
    return 1;
}

// Frames of up to this size are built on the stack; larger ones (raw frames
// and serial data above 256 payload bytes) in a heap buffer sized to the frame.
inline constexpr std::size_t kFrameBufferSize = 264;

// The one transmission procedure: builds the frame and hands it to the socket.
// Returns 1 once the frame was handed over (socket errors are not reported),
// 0 when the payload is too large for a frame, its buffer cannot be had, the
// handle's connect is not through or its send queue is full; a refused call
// sends nothing and records why.
std::int32_t transmit(Connection &c, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                      std::span<const std::uint8_t> payload) noexcept;

// A frame while the handle is not Direct: into the batch or the queue (1), or
// refused (0) while the connect is not through, after it failed, or for a
// full queue.
std::int32_t route_frame(Connection &c, std::span<const std::uint8_t> frame) noexcept;

// Sends what the batch holds; false when this or an earlier send of the
// batch failed or stalled (the batch is then marked failed).
bool flush_batch(Connection &c) noexcept;

// Hands a built frame to the socket (or the batch); 1 once handed over,
// socket errors not reported, as every command reports. A send that stalled
// past the bound has shut the socket down; the connection then reads as
// closed.
inline std::int32_t send_frame_bytes(Connection &c, std::span<const std::uint8_t> frame) noexcept {
    if (c.route != Route::Direct) [[unlikely]] {
        return route_frame(c, frame);
    }
    if (net::send_all(c.socket, frame) == net::SendOutcome::Stalled) {
        c.stalled = true;
    }
    return accept(c);
}

// The queued send mode (queued.cpp). A frame into the queue: 1 queued (or
// sent), 0 refused with the reason recorded.
std::int32_t queue_frame(Connection &c, std::span<const std::uint8_t> frame) noexcept;
// Sends what the socket takes of the queue and judges the stall rule: the
// bytes still to send, or -1 when the connection is over.
std::int32_t flush_queue(Connection &c) noexcept;
// Judges the stall rule when it may have run out (cheap otherwise).
void judge_stall_if_due(Connection &c) noexcept;
// A connect through: Direct, or Queueing when a limit was set before.
void connected(Connection &c) noexcept;
// Batches in the mode; ending returns EndBatch's result.
void queue_begin_batch(Connection &c) noexcept;
std::int32_t queue_end_batch(Connection &c) noexcept;
inline bool queued_mode(const Connection &c) noexcept {
    return c.route == Route::Queueing || c.route == Route::QueueBatching;
}

// A new handle over a socket from connect_ipv4 (Blocking) or connect_start,
// with the socket service held for it; null when either failed.
enum class Connect { Blocking, Started };
Connection *open_connection(Connect how, std::uint32_t address, std::uint16_t port) noexcept;

enum class Fill { Read, NothingRead, Closed };

// Waits up to `timeout_ms` for the socket and reads once into the receive
// buffer's free space.
Fill fill_from_socket(Connection &c, int timeout_ms) noexcept;

}  // namespace vq6120
