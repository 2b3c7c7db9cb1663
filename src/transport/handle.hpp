// The record behind a handle: its socket, what state it is in, and the
// buffers every part of the transport works on. Shared by every layer above
// the socket; it declares no operations beyond recording a call's result.
#pragma once

#include <cstdint>

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
    // What ended it: the stall rule, or a failed send.
    std::uint8_t ended_by = VQ6120_REFUSED_STALLED;
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

}  // namespace vq6120
