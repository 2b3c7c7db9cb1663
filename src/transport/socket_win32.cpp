// Windows sockets (Winsock 2.2). The socket service is started and cleaned up
// once per connection; Winsock counts the calls itself, so a host that uses
// Winsock on its own keeps working across our connections. Windows sends
// raise no signal, so there is nothing like MSG_NOSIGNAL to pass. Readiness
// waits use select() over a read set holding the one socket: Windows' fd_set
// is a list of handles, not a bitmap, so any SOCKET value fits.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
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

bool service_start() noexcept {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void service_release() noexcept { ::WSACleanup(); }

Socket connect_ipv4(std::uint32_t address, std::uint16_t port) noexcept {
    // Overlapped like socket() makes them; not inherited by child processes
    // (the Windows counterpart of close-on-exec).
    const SOCKET s = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                  WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
    if (s == INVALID_SOCKET) {
        return kInvalidSocket;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = ::htons(port);
    peer.sin_addr.s_addr = address;
    if (::connect(s, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        ::closesocket(s);
        return kInvalidSocket;
    }
    // Commands are small and the host often waits for an answer right after
    // them: without TCP_NODELAY a request queued behind an unacknowledged
    // command waits for the peer's delayed ACK.
    const BOOL one = TRUE;
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&one), sizeof one);
    // A send that makes no progress for this long fails with WSAETIMEDOUT
    // instead of blocking the host behind a terminal that stopped reading.
    // Windows takes the time as a DWORD of milliseconds, not a timeval.
    const DWORD stall_ms = VQ6120_SEND_STALL_SECONDS * 1000;
    ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char *>(&stall_ms), sizeof stall_ms);
    return static_cast<Socket>(s);
}

void close(Socket s) noexcept {
    if (s != kInvalidSocket) {
        ::closesocket(native(s));
    }
}

SendOutcome send_all(Socket s, std::span<const std::uint8_t> bytes) noexcept {
    const SOCKET sock = native(s);
    while (!bytes.empty()) {
        const int chunk = static_cast<int>(std::min(bytes.size(), kMaxChunk));
        const int n = ::send(sock, reinterpret_cast<const char *>(bytes.data()), chunk, 0);
        if (n > 0) {
            bytes = bytes.subspan(static_cast<std::size_t>(n));
            continue;
        }
        if (n == SOCKET_ERROR) {
            const int error = ::WSAGetLastError();
            if (error == WSAEINTR) {
                continue;
            }
            // After a send time-out Windows leaves the socket in an undefined
            // state. Neither select() nor WSAPoll() report a socket shut down
            // on this side as readable, hence the Stalled result.
            if (error == WSAETIMEDOUT || error == WSAEWOULDBLOCK) {
                ::shutdown(sock, SD_BOTH);
                return SendOutcome::Stalled;
            }
        }
        return SendOutcome::Failed;
    }
    return SendOutcome::Sent;
}

Readiness wait_readable(Socket s, int timeout_ms) noexcept {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(native(s), &readable);
    const int ms = std::max(timeout_ms, 0);
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    // The first argument is ignored on Windows. A closed, reset or failed
    // connection is reported in the read set.
    const int rc = ::select(0, &readable, nullptr, nullptr, &limit);
    if (rc > 0 && FD_ISSET(native(s), &readable)) {
        return Readiness::Ready;
    }
    return Readiness::NotReady;
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
