#include "raw_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace vq6120::test {

Listener::Listener(int receive_buffer, int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ >= 0 && receive_buffer > 0) {
        // Set on the listener so that the accepted socket starts with it (the
        // window is fixed at the handshake).
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd_, backlog) != 0) {
        throw std::runtime_error("listener cannot listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

Listener::~Listener() { ::close(fd_); }

int Listener::accept(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, timeout_ms);
    } while (rc < 0 && errno == EINTR);
    if (rc != 1) {
        return -1;
    }
    return ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
}

bool write_all(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

bool read_exactly(int fd, std::span<std::uint8_t> out, int timeout_ms) {
    while (!out.empty()) {
        pollfd p{fd, POLLIN, 0};
        const int rc = ::poll(&p, 1, timeout_ms);
        if (rc < 0 && errno == EINTR) {
            continue;
        }
        if (rc != 1) {
            return false;
        }
        const ssize_t n = ::recv(fd, out.data(), out.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        out = out.subspan(static_cast<std::size_t>(n));
    }
    return true;
}

void reset_close(int fd) {
    linger hard{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    ::close(fd);
}

}  // namespace vq6120::test
