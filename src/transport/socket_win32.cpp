// Windows sockets (Winsock 2.2). The socket service is started and cleaned up
// once per connection; Winsock counts the calls itself, so a host that uses
// Winsock on its own keeps working across our connections. Windows sends
// raise no signal, so there is nothing like MSG_NOSIGNAL to pass. Readiness
// waits use select() over a set holding the one socket: Windows' fd_set is a
// list of handles, not a bitmap, so any SOCKET value fits.
//
// Once connected, the socket is non-blocking: send_all waits for room in
// select() against its own deadline, and reads only follow a readiness wait.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <mstcpip.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "../../include/VQ6120_LIB.h"
#include "socket.hpp"

namespace vq6120::net {

namespace {

SOCKET native(Socket s) noexcept { return static_cast<SOCKET>(s); }

// send() and recv() take an int count.
constexpr std::size_t kMaxChunk = INT_MAX;

}  // namespace

static_assert(static_cast<Socket>(INVALID_SOCKET) == kInvalidSocket,
              "INVALID_SOCKET must map to kInvalidSocket");

Clock::time_point Clock::now() noexcept {
    return time_point{std::chrono::duration_cast<duration>(std::chrono::milliseconds{::GetTickCount64()})};
}

bool service_start() noexcept {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void service_release() noexcept { ::WSACleanup(); }

namespace {

enum class Waited { Nothing, Ready, Failed };

// Waits up to `timeout_ms` for `s` to be in the read set (`write` false) or
// the write set, or in the exception set (Failed).
Waited wait_sets(SOCKET s, bool write, long long timeout_ms) noexcept {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    const long long ms = std::max(timeout_ms, 0LL);
    timeval limit{};
    limit.tv_sec = static_cast<long>(ms / 1000);
    limit.tv_usec = static_cast<long>((ms % 1000) * 1000);
    // The first argument is ignored on Windows. A closed or reset connection
    // is reported in the read set, a failed one in the exception set.
    const int rc = write ? ::select(0, nullptr, &set, &failed, &limit) : ::select(0, &set, nullptr, &failed, &limit);
    if (rc <= 0) {
        return Waited::Nothing;
    }
    return FD_ISSET(s, &failed) ? Waited::Failed : Waited::Ready;
}

// As wait_sets; errors and closes count as ready: the next call reports them.
bool wait_for(SOCKET s, bool write, long long timeout_ms) noexcept {
    return wait_sets(s, write, timeout_ms) != Waited::Nothing;
}

}  // namespace

namespace {

SOCKET new_socket() noexcept {
    // Overlapped like socket() makes them; not inherited by child processes
    // (the Windows counterpart of close-on-exec).
    return ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                        WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

sockaddr_in ipv4(std::uint32_t address, std::uint16_t port) noexcept {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(port);
    peer.sin_addr.s_addr = address;
    return peer;
}

// A failed connect's reason in errno, as POSIX systems leave it, so that a
// host tells a refused terminal from an unreachable one on either system.
// Other errors leave errno as it was.
void connect_error_to_errno(int error) noexcept {
    switch (error) {
    case WSAECONNREFUSED:
        errno = ECONNREFUSED;
        break;
    case WSAETIMEDOUT:
        errno = ETIMEDOUT;
        break;
    case WSAEHOSTUNREACH:
        errno = EHOSTUNREACH;
        break;
    case WSAENETUNREACH:
        errno = ENETUNREACH;
        break;
    default:
        break;
    }
}

// What every connected socket gets, however it was connected.
void configure_connected(SOCKET s) noexcept {
    // Commands are small and the host often waits for an answer right after
    // them: without TCP_NODELAY a request queued behind an unacknowledged
    // command waits for the peer's delayed ACK.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    // send_all keeps the stall bound with its own deadline on a non-blocking
    // socket. Should the socket block after all, a send that makes no
    // progress for the bound fails with WSAETIMEDOUT instead of holding the
    // host; Windows takes that time as a DWORD of milliseconds.
    const DWORD stall_ms = VQ6120_SEND_STALL_SECONDS * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&stall_ms), sizeof stall_ms);
    u_long non_blocking = 1;
    ::ioctlsocket(s, FIONBIO, &non_blocking);
}

}  // namespace

Socket connect_ipv4(std::uint32_t address, std::uint16_t port) noexcept {
    const SOCKET s = new_socket();
    if (s == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    const sockaddr_in peer = ipv4(address, port);
    if (::connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        connect_error_to_errno(error);
        return kInvalidSocket;
    }
    configure_connected(s);
    return static_cast<Socket>(s);
}

Socket connect_start(std::uint32_t address, std::uint16_t port) noexcept {
    const SOCKET s = new_socket();
    if (s == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    u_long non_blocking = 1;
    const sockaddr_in peer = ipv4(address, port);
    if (::ioctlsocket(s, FIONBIO, &non_blocking) != 0 ||
        (::connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0 &&
         ::WSAGetLastError() != WSAEWOULDBLOCK)) {
        const int error = ::WSAGetLastError();
        ::closesocket(s);
        connect_error_to_errno(error);
        return kInvalidSocket;
    }
    return static_cast<Socket>(s);
}

ConnectProgress connect_finish(Socket s, int timeout_ms) noexcept {
    // A connect in progress ends in the write set when it succeeded and in
    // the exception set when it failed (WSAPoll does not report every failed
    // connect, select does).
    switch (wait_sets(native(s), true, timeout_ms)) {
    case Waited::Nothing:
        return ConnectProgress::Pending;
    case Waited::Failed: {
        int error = 0;
        int size = sizeof error;
        if (::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &size) == 0) {
            connect_error_to_errno(error);
        }
        return ConnectProgress::Failed;
    }
    case Waited::Ready:
        break;
    }
    configure_connected(native(s));
    return ConnectProgress::Connected;
}

bool set_keepalive(Socket s, int idle_s, int interval_s, int count) noexcept {
    // SIO_KEEPALIVE_VALS works on every Windows since 2000; the probe count
    // can be set only from Windows 10 1709 on (TCP_KEEPCNT, not in every
    // SDK's headers), elsewhere the system's own count (10) stays.
    tcp_keepalive values{};
    values.onoff = idle_s > 0 ? 1 : 0;
    values.keepalivetime = static_cast<ULONG>(idle_s) * 1000;
    values.keepaliveinterval = static_cast<ULONG>(interval_s) * 1000;
    DWORD returned = 0;
    if (::WSAIoctl(native(s), SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr,
                   nullptr) != 0) {
        return false;
    }
    if (idle_s > 0) {
        constexpr int kTcpKeepCnt = 16;
        const DWORD probes = static_cast<DWORD>(count);
        ::setsockopt(native(s), IPPROTO_TCP, kTcpKeepCnt, reinterpret_cast<const char *>(&probes), sizeof probes);
    }
    return true;
}

void close(Socket s) noexcept {
    if (s != kInvalidSocket) {
        ::closesocket(native(s));
    }
}

SendOutcome send_all(Socket s, std::span<const std::uint8_t> bytes) noexcept {
    // The stall bound counts from the last byte that went out: a blocking
    // send under SO_SNDTIMEO would wait out the whole time-out after moving
    // part of a frame and then again for the rest.
    constexpr auto kStall = std::chrono::seconds(VQ6120_SEND_STALL_SECONDS);
    const SOCKET sock = native(s);
    auto deadline = Clock::now() + kStall;
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min(bytes.size(), kMaxChunk));
        const int n = ::send(sock, reinterpret_cast<const char *>(bytes.data()), chunk, 0);
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            deadline = Clock::now() + kStall;
            continue;
        }
        const int error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
        if (error == WSAEINTR) {
            continue;
        }
        if (error == WSAEWOULDBLOCK) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            // Room, a failure (the next send reports it): try again. Only a
            // wait that runs out is a stall.
            if (left > 0 && wait_for(sock, true, left)) {
                continue;
            }
        }
        if (error == WSAEWOULDBLOCK || error == WSAETIMEDOUT) {
            // Neither select() nor WSAPoll() report a socket shut down on
            // this side as readable, hence the Stalled result.
            ::shutdown(sock, SD_BOTH);
            return SendOutcome::Stalled;
        }
        return SendOutcome::Failed;
    }
    return SendOutcome::Sent;
}

Handed send_now(Socket s, std::span<const std::uint8_t> bytes) noexcept {
    Handed out;
    const SOCKET sock = native(s);
    while (out.count < bytes.size()) {
        const int chunk = static_cast<int>(std::min(bytes.size() - out.count, kMaxChunk));
        const int n = ::send(sock, reinterpret_cast<const char *>(bytes.data() + out.count), chunk, 0);
        if (n > 0) {
            out.count += static_cast<std::size_t>(n);
            continue;
        }
        const int error = n == SOCKET_ERROR ? ::WSAGetLastError() : 0;
        if (error == WSAEINTR) {
            continue;
        }
        if (error == WSAEWOULDBLOCK) {
            out.full = true;
        } else {
            out.failed = true;
        }
        break;
    }
    return out;
}

// Winsock does not report how much of the send buffer is still unsent.
bool unsent_bytes(Socket, std::size_t &) noexcept { return false; }

std::size_t bound_send_buffer(Socket s) noexcept {
    // A fixed buffer also ends Windows' own growing of it (ideal send
    // backlog), which would let it hold megabytes for a stalled peer.
    constexpr int kBound = 32768;
    ::setsockopt(native(s), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&kBound), sizeof kBound);
    return kBound;
}

void shutdown(Socket s) noexcept { ::shutdown(native(s), SD_BOTH); }

Readiness wait_readable(Socket s, int timeout_ms) noexcept {
    return wait_for(native(s), false, timeout_ms) ? Readiness::Ready : Readiness::NotReady;
}

ReadOutcome read_some(Socket s, std::span<std::uint8_t> into) noexcept {
    const int room = static_cast<int>(std::min(into.size(), kMaxChunk));
    const int n = ::recv(native(s), reinterpret_cast<char *>(into.data()), room, 0);
    if (n > 0) {
        return {ReadOutcome::Data, static_cast<std::size_t>(n)};
    }
    if (n == SOCKET_ERROR) {
        const int error = ::WSAGetLastError();
        if (error == WSAEINTR || error == WSAEWOULDBLOCK) {
            return {ReadOutcome::NothingRead, 0};
        }
    }
    return {ReadOutcome::Closed, 0};
}

}  // namespace vq6120::net
