// The socket layer: the only code of the library that talks to the operating
// system's sockets. Everything above it works on bytes. One implementation
// file per platform (socket_posix.cpp, socket_win32.cpp) keeps the platform
// differences out of the rest of the tree.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ratio>
#include <span>

namespace vq6120::net {

// Wide enough for a POSIX descriptor and a Windows SOCKET alike.
using Socket = std::intptr_t;
inline constexpr Socket kInvalidSocket = -1;

// The monotonic clock of every deadline. std::chrono::steady_clock::now()
// lives in the C++ runtime library, which the library does not link (hosts
// link it from C): this clock reads the platform's monotonic clock directly.
struct Clock {
    using rep = std::int64_t;
    using period = std::nano;
    using duration = std::chrono::duration<rep, period>;
    using time_point = std::chrono::time_point<Clock>;
    static constexpr bool is_steady = true;
    static time_point now() noexcept;
};

// The process-wide socket service, counted per connection: every start that
// returned true is paired by exactly one release. A start that returned false
// took no reference, and nothing may be released for it: releasing would drop
// a reference the host or another connection holds. Where the platform has no
// such service, start always succeeds and release does nothing.
bool service_start() noexcept;
void service_release() noexcept;

// Creates a TCP socket and connects it, blocking, to `address` (IPv4, network
// byte order, unchanged) and `port` (host byte order). The connected socket
// has TCP_NODELAY set, is close-on-exec, and bounds each send's stall.
// Returns kInvalidSocket on any failure, having closed what it created.
Socket connect_ipv4(std::uint32_t address, std::uint16_t port) noexcept;

// The same connect in two steps, for hosts that open many terminals at once
// and must not wait on any one of them. connect_start creates the socket and
// starts connecting without blocking; kInvalidSocket when that failed at once
// (nothing is left open). connect_finish waits up to `timeout_ms` (0: no wait)
// for the outcome; once Connected the socket is set up exactly as
// connect_ipv4 leaves it. A Failed socket is still to be closed.
Socket connect_start(std::uint32_t address, std::uint16_t port) noexcept;
enum class ConnectProgress { Connected, Failed, Pending };
ConnectProgress connect_finish(Socket s, int timeout_ms) noexcept;

// TCP keepalive: probes after `idle_s` seconds without traffic, every
// `interval_s` seconds, `count` of them unanswered drop the connection.
// `idle_s` 0 switches keepalive off. False when the system refused.
bool set_keepalive(Socket s, int idle_s, int interval_s, int count) noexcept;

void close(Socket s) noexcept;

enum class SendOutcome { Sent, Failed, Stalled };

// Writes all of `bytes`, continuing after short writes and interrupted calls.
// Never raises SIGPIPE. When the peer stops reading and the socket takes no
// more of the frame for the stall bound (counted afresh after every part that
// goes out), the connection is shut down in both directions and the result
// is Stalled: the caller then treats the
// connection as closed (not every platform makes a socket it shut down
// itself readable, so a read alone need not notice). Other errors end the
// send with Failed.
SendOutcome send_all(Socket s, std::span<const std::uint8_t> bytes) noexcept;

// One go at sending for the queued mode, never waiting: `count` bytes of
// the front of `bytes` went to the socket; `full` when it took no more,
// `failed` when the connection failed (nothing more can be sent).
struct Handed {
    std::size_t count = 0;
    bool full = false;
    bool failed = false;
};
Handed send_now(Socket s, std::span<const std::uint8_t> bytes) noexcept;

// The bytes in the socket's send buffer not yet taken by the peer; false
// when the platform does not tell (the caller then counts its own bound).
bool unsent_bytes(Socket s, std::size_t &count) noexcept;

// For the queued mode: where unsent_bytes cannot tell, bounds the socket's
// send buffer and returns that bound (counted as waiting while the socket
// refuses bytes); elsewhere changes nothing and returns 0.
std::size_t bound_send_buffer(Socket s) noexcept;

// Ends the connection in both directions (the stall rule).
void shutdown(Socket s) noexcept;

enum class Readiness { Ready, NotReady };

// Waits up to `timeout_ms` (0: no wait) for `s` to become readable. A closed
// or failed connection counts as readable: the read then reports it. An
// interrupted or failed wait is NotReady.
Readiness wait_readable(Socket s, int timeout_ms) noexcept;

struct ReadOutcome {
    enum Kind { Data, NothingRead, Closed } kind = NothingRead;
    std::size_t count = 0;
};

// One read into `into`, never waiting. Interrupted and would-block reads are
// NothingRead; an orderly close and every other error are Closed.
ReadOutcome read_some(Socket s, std::span<std::uint8_t> into) noexcept;

}  // namespace vq6120::net
