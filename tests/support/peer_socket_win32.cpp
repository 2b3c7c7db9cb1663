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
#include <stdexcept>

#include "peer_socket.hpp"

namespace vq6120::test::sock {

namespace {
SOCKET native(Handle h) { return static_cast<SOCKET>(h); }
int clamp(std::size_t n) { return static_cast<int>(std::min<std::size_t>(n, INT_MAX)); }
}  // namespace

void service_acquire() {
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        throw std::runtime_error("WSAStartup failed");
    }
}

void service_drop() { ::WSACleanup(); }

Handle listen_loopback(std::uint16_t &port, int receive_buffer) {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s != INVALID_SOCKET && receive_buffer > 0) {
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char *>(&receive_buffer),
                     sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    int len = sizeof addr;
    if (s == INVALID_SOCKET || ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(s, 8) != 0 || ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (s != INVALID_SOCKET) {
            ::closesocket(s);
        }
        throw std::runtime_error("test peer cannot listen");
    }
    port = ::ntohs(addr.sin_port);
    return static_cast<Handle>(s);
}

Handle accept(Handle listener) {
    const SOCKET s = ::accept(native(listener), nullptr, nullptr);
    return s == INVALID_SOCKET ? kNone : static_cast<Handle>(s);
}

long send_some(Handle h, const std::uint8_t *bytes, std::size_t count) {
    const int n = ::send(native(h), reinterpret_cast<const char *>(bytes), clamp(count), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

long recv_some(Handle h, std::uint8_t *into, std::size_t room) {
    const int n = ::recv(native(h), reinterpret_cast<char *>(into), clamp(room), 0);
    return n == SOCKET_ERROR ? -1 : n;
}

void shutdown_both(Handle h) { ::shutdown(native(h), SD_BOTH); }

void abort_on_close(Handle h) {
    linger hard{1, 0};
    ::setsockopt(native(h), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char *>(&hard), sizeof hard);
}

void close(Handle h) { ::closesocket(native(h)); }

bool peer_address(Handle h, std::uint32_t &address_network_order, std::uint16_t &port) {
    sockaddr_in where{};
    int len = sizeof where;
    if (::getpeername(native(h), reinterpret_cast<sockaddr *>(&where), &len) != 0) {
        return false;
    }
    address_network_order = where.sin_addr.s_addr;
    port = ::ntohs(where.sin_port);
    return true;
}

namespace {
bool flag_option(Handle h, int level, int name, bool &on) {
    BOOL value = FALSE;
    int len = sizeof value;
    if (::getsockopt(native(h), level, name, reinterpret_cast<char *>(&value), &len) != 0) {
        return false;
    }
    on = value != FALSE;
    return true;
}
}  // namespace

bool nodelay(Handle h, bool &on) { return flag_option(h, IPPROTO_TCP, TCP_NODELAY, on); }
bool keepalive(Handle h, bool &on) { return flag_option(h, SOL_SOCKET, SO_KEEPALIVE, on); }
// SIO_KEEPALIVE_VALS, which the library sets them with, cannot be read back.
bool keepalive_timing(Handle, int &, int &, int &) { return false; }

bool set_send_buffer(Handle h, int bytes) {
    return ::setsockopt(native(h), SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes) == 0;
}

bool wait_readable(Handle h, int timeout_ms) {
    WSAPOLLFD p{};
    p.fd = native(h);
    p.events = POLLRDNORM;
    return ::WSAPoll(&p, 1, timeout_ms) == 1;
}

DefaultSigpipe::DefaultSigpipe() = default;
DefaultSigpipe::~DefaultSigpipe() = default;

}  // namespace vq6120::test::sock
