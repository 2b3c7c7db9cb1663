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

// How far the connect is. A handle from InitialVQ6120 starts Connected; one
// from VQ6120Ex_StartOpen starts Connecting, and until it is Connected every
// sending call is refused (a failed connect reads as closed).
enum class Phase : std::uint8_t { Connecting, Connected, ConnectFailed };

// How a connected handle sends: each frame before the command returns, or
// through the queued send mode (queued.hpp). The mode a limit asks for
// starts when the connect is through.
enum class Mode : std::uint8_t { Direct, Queued };

// Why a connection that was through is over. Either way it reads as closed
// and the socket was shut down.
enum class End : std::uint8_t {
    None,
    Stalled,     // the terminal stopped reading: the stall rule ended it
    SendFailed,  // queued mode: a send failed (the terminal reset the connection)
};

}  // namespace vq6120

struct VQ6120_Connection {
    vq6120::net::Socket socket = vq6120::net::kInvalidSocket;
    vq6120::Phase phase = vq6120::Phase::Connected;
    vq6120::Mode mode = vq6120::Mode::Direct;
    // A write batch is open: frames go into it (Direct) or are held at the
    // queue's tail (Queued) until it ends.
    bool batch_open = false;
    vq6120::End end = vq6120::End::None;
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

// Whether the connection reads as closed: its connect failed, or it ended.
inline bool reads_closed(const Connection &c) noexcept {
    return c.end != End::None || c.phase == Phase::ConnectFailed;
}

// The refusal that tells the host why a connection that reads as closed is
// over: the stall rule, or VQ6120_REFUSED_CLOSED for every other cause.
inline std::uint8_t closed_reason(const Connection &c) noexcept {
    return c.end == End::Stalled ? std::uint8_t{VQ6120_REFUSED_STALLED} : std::uint8_t{VQ6120_REFUSED_CLOSED};
}

// Frames go straight to the socket: connected, Direct, no batch open.
inline bool sends_directly(const Connection &c) noexcept {
    return c.phase == Phase::Connected && c.mode == Mode::Direct && !c.batch_open;
}

}  // namespace vq6120
