// The record behind a handle, and the two steps every exported function over
// a connection shares: sending one frame and reading more bytes into the
// receive buffer.
#pragma once

#include <cstdint>
#include <span>

#include "../../include/VQ6120_LIB.h"
#include "receive_buffer.hpp"
#include "socket.hpp"

struct VQ6120_Connection {
    vq6120::net::Socket socket = vq6120::net::kInvalidSocket;
    vq6120::ReceiveBuffer received;
    // A send stalled past the bound and the socket was shut down: the
    // connection reads as closed from then on.
    bool stalled = false;
};

namespace vq6120 {

using Connection = ::VQ6120_Connection;

// Frames of up to this size are built on the stack; larger ones (raw frames
// and serial data above 256 payload bytes) in a heap buffer sized to the frame.
inline constexpr std::size_t kFrameBufferSize = 264;

// The one transmission procedure: builds the frame and hands it to the socket.
// Returns 1 once the frame was handed over (socket errors are not reported),
// 0 when the payload is too large for a frame or its buffer cannot be had; a
// refused call sends nothing.
std::int32_t transmit(Connection &c, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                      std::span<const std::uint8_t> payload) noexcept;

// Hands a built frame to the socket. A send that stalled past the bound has
// shut the socket down; the connection then reads as closed.
inline void send_frame_bytes(Connection &c, std::span<const std::uint8_t> frame) noexcept {
    if (net::send_all(c.socket, frame) == net::SendOutcome::Stalled) {
        c.stalled = true;
    }
}

enum class Fill { Read, NothingRead, Closed };

// Waits up to `timeout_ms` for the socket and reads once into the receive
// buffer's free space.
Fill fill_from_socket(Connection &c, int timeout_ms) noexcept;

}  // namespace vq6120
