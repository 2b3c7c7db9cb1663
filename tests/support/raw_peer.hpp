// Plain loopback sockets for tests that need a terminal which misbehaves in
// ways the recording TestPeer cannot: one that never reads, one that answers
// from a thread of its own, one that closes in the middle of a transfer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vq6120::test {

// A listening socket on 127.0.0.1 with an ephemeral port.
class Listener {
public:
    // `receive_buffer` > 0 shrinks the receive buffer of accepted sockets, so
    // that a peer which stops reading fills up after little traffic.
    // `backlog` is the queue of connections not yet accepted.
    explicit Listener(int receive_buffer = 0, int backlog = 8);
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    std::uint16_t port() const { return port_; }
    // Accepts one connection, waiting up to `timeout_ms`; -1 when none came.
    int accept(int timeout_ms = 5000);

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

// Writes all of `bytes` to `fd`, continuing after interrupted and short
// writes; false when the connection failed first.
bool write_all(int fd, std::span<const std::uint8_t> bytes);

// Reads exactly `out.size()` bytes, waiting up to `timeout_ms` for each read;
// false on close, error or time-out.
bool read_exactly(int fd, std::span<std::uint8_t> out, int timeout_ms = 5000);

// Abortive close: the other end sees a reset.
void reset_close(int fd);

}  // namespace vq6120::test
