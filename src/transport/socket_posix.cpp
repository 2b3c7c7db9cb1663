// POSIX sockets. Readiness waits use poll(), so descriptors above FD_SETSIZE
// work; sends pass MSG_NOSIGNAL (or rely on SO_NOSIGPIPE where that is the
// platform's way) so a terminal that went away never kills the host process.
#include "socket.hpp"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#if defined(__linux__)
#include <linux/sockios.h>
#endif
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <cstring>

#include "../../include/VQ6120_LIB.h"

#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif

namespace vq6120::net {

Clock::time_point Clock::now() noexcept {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return time_point{duration{static_cast<rep>(t.tv_sec) * 1'000'000'000 + t.tv_nsec}};
}

bool service_start() noexcept { return true; }
void service_release() noexcept {}

namespace {

// What every connected socket gets, however it was connected.
void configure_connected(int fd) noexcept {
    // Commands are small and the host often waits for an answer right after
    // them: without TCP_NODELAY a request queued behind an unacknowledged
    // command waits for the peer's delayed ACK (tens of milliseconds).
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
#ifdef SO_NOSIGPIPE
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#endif
    // A send that makes no progress for this long returns EAGAIN instead of
    // blocking the host forever behind a terminal that stopped reading.
    // send_all does not block in send itself (it keeps its own deadline, see
    // there); the time-out stays as a backstop for any blocking send.
    timeval stall{};
    stall.tv_sec = VQ6120_SEND_STALL_SECONDS;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
}

sockaddr_in ipv4(std::uint32_t address, std::uint16_t port) noexcept {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = address;
    return peer;
}

}  // namespace

Socket connect_ipv4(std::uint32_t address, std::uint16_t port) noexcept {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return kInvalidSocket;
    }
    const sockaddr_in peer = ipv4(address, port);
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        ::close(fd);
        return kInvalidSocket;
    }
    configure_connected(fd);
    return fd;
}

Socket connect_start(std::uint32_t address, std::uint16_t port) noexcept {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return kInvalidSocket;
    }
    const sockaddr_in peer = ipv4(address, port);
    // An interrupted non-blocking connect goes on in the background, as one
    // that is in progress does; connect_finish sees how it ends.
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 && errno != EINPROGRESS &&
        errno != EINTR) {
        const int why = errno;  // for the host, past the close
        ::close(fd);
        errno = why;
        return kInvalidSocket;
    }
    return fd;
}

ConnectProgress connect_finish(Socket s, int timeout_ms) noexcept {
    const int fd = static_cast<int>(s);
    pollfd p{fd, POLLOUT, 0};
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc <= 0) {
        return ConnectProgress::Pending;  // still connecting, or interrupted
    }
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0 || error != 0) {
        if (error != 0) {
            errno = error;  // why: refused, unreachable, ...
        }
        return ConnectProgress::Failed;
    }
    // Blocking again, as connect_ipv4 leaves its sockets: sends never block
    // (send_all passes MSG_DONTWAIT) and reads follow a readiness wait.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        return ConnectProgress::Failed;
    }
    configure_connected(fd);
    return ConnectProgress::Connected;
}

bool set_keepalive(Socket s, int idle_s, int interval_s, int count) noexcept {
    const int fd = static_cast<int>(s);
    const int on = idle_s > 0 ? 1 : 0;
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) != 0) {
        return false;
    }
    if (on == 0) {
        return true;
    }
    return ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle_s, sizeof idle_s) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval_s, sizeof interval_s) == 0 &&
           ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0;
}

void close(Socket s) noexcept {
    if (s != kInvalidSocket) {
        ::close(static_cast<int>(s));
    }
}

SendOutcome send_all(Socket s, std::span<const std::uint8_t> bytes) noexcept {
    // The stall bound counts from the last byte that went out. A blocking send
    // under SO_SNDTIMEO cannot keep it: a call that moved part of the frame
    // before the buffers filled waits out the whole time-out and returns the
    // short count, and the next call waits the time-out again, so one frame
    // could hold the host for twice the bound or more. Sending without
    // blocking and waiting in poll() against one deadline keeps it exact.
    constexpr auto kStall = std::chrono::seconds(VQ6120_SEND_STALL_SECONDS);
    const int fd = static_cast<int>(s);
    auto deadline = Clock::now() + kStall;
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            deadline = Clock::now() + kStall;
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left > 0) {
                pollfd p{fd, POLLOUT, 0};
                // Writable, failed (the next send reports it) or interrupted:
                // try again. Only a wait that runs out is a stall; a send tried
                // after it could still squeeze a few bytes into the buffer and
                // restart the clock, one trickle after another.
                if (::poll(&p, 1, static_cast<int>(left)) != 0) {
                    continue;
                }
            }
            // Stalled: whatever the terminal is doing, the connection is of no
            // further use, and the next read must report it closed.
            ::shutdown(fd, SHUT_RDWR);
            return SendOutcome::Stalled;
        }
        return SendOutcome::Failed;
    }
    return SendOutcome::Sent;
}

Handed send_now(Socket s, std::span<const std::uint8_t> bytes) noexcept {
    Handed out;
    const int fd = static_cast<int>(s);
    while (out.count < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.data() + out.count, bytes.size() - out.count, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            out.count += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            out.full = true;
            break;
        } else {
            out.failed = true;
            break;
        }
    }
    return out;
}

bool unsent_bytes(Socket s, std::size_t &count) noexcept {
    // Linux counts the bytes not yet acknowledged by the peer; the BSDs and
    // macOS answer the terminal request on sockets with the same count.
#if defined(SIOCOUTQ)
    constexpr unsigned long kRequest = SIOCOUTQ;
#elif defined(TIOCOUTQ)
    constexpr unsigned long kRequest = TIOCOUTQ;
#else
    constexpr unsigned long kRequest = 0;
#endif
    int n = 0;
    if (kRequest == 0 || ::ioctl(static_cast<int>(s), kRequest, &n) != 0 || n < 0) {
        return false;
    }
    count = static_cast<std::size_t>(n);
    return true;
}

std::size_t bound_send_buffer(Socket s) noexcept {
    std::size_t probe = 0;
    if (unsent_bytes(s, probe)) {
        return 0;  // measured: the buffer keeps the system's own size
    }
    constexpr int kBound = 32768;
    ::setsockopt(static_cast<int>(s), SOL_SOCKET, SO_SNDBUF, &kBound, sizeof kBound);
    return kBound;
}

void shutdown(Socket s) noexcept { ::shutdown(static_cast<int>(s), SHUT_RDWR); }

Readiness wait_readable(Socket s, int timeout_ms) noexcept {
    pollfd p{};
    p.fd = static_cast<int>(s);
    p.events = POLLIN;
    const int rc = ::poll(&p, 1, timeout_ms);
    if (rc > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0) {
        return Readiness::Ready;
    }
    return Readiness::NotReady;
}

ReadOutcome read_some(Socket s, std::span<std::uint8_t> into) noexcept {
    const ssize_t n = ::recv(static_cast<int>(s), into.data(), into.size(), MSG_DONTWAIT);
    if (n > 0) {
        return {ReadOutcome::Data, static_cast<std::size_t>(n)};
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        return {ReadOutcome::NothingRead, 0};
    }
    return {ReadOutcome::Closed, 0};
}

}  // namespace vq6120::net
