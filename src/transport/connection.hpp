// The sending layer over a handle, and the two steps every exported
// function over a connection shares: sending one frame and reading more
// bytes into the receive buffer. Frames go straight to the socket, into a
// write batch, or to the queued mode below (queued.hpp).
#pragma once

#include <cstdint>
#include <span>

#include "handle.hpp"
#include "queued.hpp"

namespace vq6120 {

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

// A frame while the handle does not send directly: into the batch or the
// queue (1), or
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
    if (!sends_directly(c)) [[unlikely]] {
        return route_frame(c, frame);
    }
    if (net::send_all(c.socket, frame) == net::SendOutcome::Stalled) {
        c.end = End::Stalled;
    }
    return accept(c);
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
