#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <stdexcept>

#include "peer_socket.hpp"

namespace vq6120::test::sock {

namespace {
int fd(Handle h) { return static_cast<int>(h); }
}  // namespace

void service_acquire() {}
void service_drop() {}

Handle listen_loopback(std::uint16_t &port, int receive_buffer) {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s >= 0 && receive_buffer > 0) {
        ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    socklen_t len = sizeof addr;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(s, 8) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        if (s >= 0) {
            ::close(s);
        }
        throw std::runtime_error("test peer cannot listen");
    }
    port = ntohs(addr.sin_port);
    return s;
}

Handle accept(Handle listener) {
    const int s = ::accept4(fd(listener), nullptr, nullptr, SOCK_CLOEXEC);
    return s < 0 ? kNone : s;
}

long send_some(Handle h, const std::uint8_t *bytes, std::size_t count) {
    for (;;) {
        const ssize_t n = ::send(fd(h), bytes, count, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

long recv_some(Handle h, std::uint8_t *into, std::size_t room) {
    for (;;) {
        const ssize_t n = ::recv(fd(h), into, room, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        return n < 0 ? -1 : static_cast<long>(n);
    }
}

void shutdown_both(Handle h) { ::shutdown(fd(h), SHUT_RDWR); }

void abort_on_close(Handle h) {
    linger hard{1, 0};
    ::setsockopt(fd(h), SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
}

void close(Handle h) { ::close(fd(h)); }

bool peer_address(Handle h, std::uint32_t &address_network_order, std::uint16_t &port) {
    sockaddr_in where{};
    socklen_t len = sizeof where;
    if (::getpeername(fd(h), reinterpret_cast<sockaddr *>(&where), &len) != 0) {
        return false;
    }
    address_network_order = where.sin_addr.s_addr;
    port = ntohs(where.sin_port);
    return true;
}

namespace {
bool flag_option(Handle h, int level, int name, bool &on) {
    int value = 0;
    socklen_t len = sizeof value;
    if (::getsockopt(fd(h), level, name, &value, &len) != 0) {
        return false;
    }
    on = value != 0;
    return true;
}
}  // namespace

bool nodelay(Handle h, bool &on) { return flag_option(h, IPPROTO_TCP, TCP_NODELAY, on); }
bool keepalive(Handle h, bool &on) { return flag_option(h, SOL_SOCKET, SO_KEEPALIVE, on); }

bool keepalive_timing(Handle h, int &idle, int &interval, int &count) {
    const auto read = [h](int name, int &value) {
        socklen_t len = sizeof value;
        return ::getsockopt(fd(h), IPPROTO_TCP, name, &value, &len) == 0;
    };
    return read(TCP_KEEPIDLE, idle) && read(TCP_KEEPINTVL, interval) && read(TCP_KEEPCNT, count);
}

bool set_send_buffer(Handle h, int bytes) {
    return ::setsockopt(fd(h), SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes) == 0;
}

bool wait_readable(Handle h, int timeout_ms) {
    pollfd p{fd(h), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 1;
}

DefaultSigpipe::DefaultSigpipe() : previous_(std::signal(SIGPIPE, SIG_DFL)) {}
DefaultSigpipe::~DefaultSigpipe() { std::signal(SIGPIPE, previous_); }

}  // namespace vq6120::test::sock
