// The few socket calls the tests make themselves: the test peer's side of the
// connection, and looking at the library's socket from outside. One file per
// platform (peer_socket_posix.cpp, peer_socket_win32.cpp) so the test peer
// and the tests stay the same everywhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vq6120::test::sock {

// A POSIX descriptor or a Windows SOCKET.
using Handle = std::intptr_t;
inline constexpr Handle kNone = -1;

// Takes and drops one reference on the platform's socket service (Winsock);
// nothing elsewhere. The test peer holds one for its lifetime.
void service_acquire();
void service_drop();

// A listener on 127.0.0.1 with an ephemeral port; throws when that fails.
// `receive_buffer` > 0 shrinks the receive buffer of accepted connections,
// so that a peer which stops reading holds little.
Handle listen_loopback(std::uint16_t &port, int receive_buffer = 0);
// Accepts one connection; kNone on failure.
Handle accept(Handle listener);
// One send or recv, retried when interrupted: bytes moved, 0 for an orderly
// close (recv), or -1 on an error.
long send_some(Handle h, const std::uint8_t *bytes, std::size_t count);
long recv_some(Handle h, std::uint8_t *into, std::size_t room);
void shutdown_both(Handle h);
// Makes the next close send a reset instead of an orderly close.
void abort_on_close(Handle h);
void close(Handle h);

// About the library's side of a connection.
bool peer_address(Handle h, std::uint32_t &address_network_order, std::uint16_t &port);
bool nodelay(Handle h, bool &on);
bool keepalive(Handle h, bool &on);
// The keepalive's idle time, probe interval (seconds) and probe count; false
// where the system does not report them (Windows).
bool keepalive_timing(Handle h, int &idle, int &interval, int &count);
// Shrinks the send buffer of the library's socket, so that a peer which stops
// reading stalls a send after little traffic.
bool set_send_buffer(Handle h, int bytes);
bool wait_readable(Handle h, int timeout_ms);

// While alive, a send on a broken connection that raises SIGPIPE ends the
// process (the signal's default action). Windows has no SIGPIPE.
class DefaultSigpipe {
public:
    DefaultSigpipe();
    ~DefaultSigpipe();
    DefaultSigpipe(const DefaultSigpipe &) = delete;
    DefaultSigpipe &operator=(const DefaultSigpipe &) = delete;

private:
    void (*previous_)(int) = nullptr;
};

}  // namespace vq6120::test::sock
