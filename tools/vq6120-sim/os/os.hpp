// Every operating-system call of the farm, behind one small interface:
// listening and connected TCP sockets, the readiness loop (epoll on Linux, WSAPoll on Windows)
// with its wake-up, the descriptor limit and the monotonic clock. Each system has
// its own file: os_linux.cpp, os_win32.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vq6120::sim::os {

using Socket = std::intptr_t;
inline constexpr Socket kNoSocket = -1;

// Listens on address:port (0: any free port) with the given backlog.
// Returns kNoSocket with `error` set when it cannot; `bound` gets the port.
Socket listen_on(const std::string &address, std::uint16_t port, int backlog, std::uint16_t &bound,
                 std::string &error);
// Changes a listener's backlog in place.
void set_backlog(Socket listener, int backlog);
// Takes one waiting connection (non-blocking, no Nagle); kNoSocket when none.
// `peer` gets "ADDRESS:PORT".
Socket accept_from(Socket listener, std::string &peer);
// Starts a non-blocking connect to address:port; `local` gets "ADDRESS:PORT"
// of our end. kNoSocket when the socket cannot be made.
Socket connect_to(const std::string &address, std::uint16_t port, std::string &local);
// Whether a connect started by connect_to has completed, waiting up to `ms`.
bool connected_within(Socket s, int ms);

// Bytes read (> 0), 0 at the end of the stream, kWouldBlock, or kFailed
// (`error` set).
inline constexpr long kWouldBlock = -1;
inline constexpr long kFailed = -2;
long receive(Socket s, std::span<std::uint8_t> buffer, std::string &error);
// Bytes written (>= 0; 0 when the socket's buffer is full), or kFailed.
long send(Socket s, std::span<const std::uint8_t> bytes, std::string &error);
void close(Socket s) noexcept;
// Reads operator input (standard input, a pipe or a file): as receive().
long read_input(int fd, std::span<std::uint8_t> buffer, std::string &error);

// Raises the soft descriptor limit to at least `wanted` where the hard limit
// allows. False (with `error` saying what the limits are) when it cannot.
bool raise_descriptor_limit(std::size_t wanted, std::string &error);

// Calls `stop` (which must only set flags and wake loops) when the operator
// asks the program to end: SIGINT/SIGTERM, or Ctrl+C and closing the console
// on Windows. Also keeps a vanished peer from killing the process (SIGPIPE).
void on_stop_request(void (*stop)());
// Whether standard input can be watched for operator commands while serving
// (not on Windows: there the operator's commands come from --script).
bool watches_standard_input() noexcept;

// CLOCK_MONOTONIC in nanoseconds: the clock of the traffic's send times.
std::uint64_t monotonic_ns() noexcept;

// Readiness of many sockets on one thread. Each socket carries a 64-bit tag
// handed back with its events. Level-triggered.
class Loop {
public:
    struct Event {
        std::uint64_t tag;
        bool readable;
        bool writable;
        bool hangup;  // the peer is gone or the socket failed
    };
    Loop();
    ~Loop();
    Loop(const Loop &) = delete;
    Loop &operator=(const Loop &) = delete;

    bool ok() const noexcept;
    // Sets what `s` is watched for; nothing removes it from the loop.
    bool watch(Socket s, std::uint64_t tag, bool read, bool write);
    void forget(Socket s) noexcept;  // before closing it
    // Also watches a descriptor that is not a socket (standard input); false
    // when it cannot be watched (a regular file: read it whole instead).
    bool watch_input(int fd, std::uint64_t tag);
    // Waits up to `timeout_ms` (-1: no limit) for events or wake().
    // Returns the events; a wake-up is one event with the tag kWakeTag.
    std::span<const Event> wait(int timeout_ms);
    // Thread-safe and safe in a signal handler.
    void wake() noexcept;
    static constexpr std::uint64_t kWakeTag = ~std::uint64_t{0};

private:
    // What each system's loop keeps: a readiness queue and a wake-up pair
    // (epoll and a pipe), or the watched sockets for a poll call and a
    // loopback socket that wakes it (Windows).
    struct Watched {
        Socket s;
        std::uint64_t tag;
        bool read, write;
    };
    std::intptr_t queue_ = -1;
    std::intptr_t wake_read_ = -1;
    std::intptr_t wake_write_ = -1;
    std::vector<Watched> watched_;
    std::vector<Event> events_;
};

}  // namespace vq6120::sim::os
