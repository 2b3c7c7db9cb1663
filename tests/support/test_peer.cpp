#include "test_peer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace vq6120::test {

TestPeer::TestPeer() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0) {
        throw std::runtime_error("test peer cannot listen");
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
}

TestPeer::~TestPeer() {
    close();
    ::close(listener_);
}

std::uint32_t TestPeer::loopback() { return htonl(INADDR_LOOPBACK); }

VQ6120_HANDLE TestPeer::connect() {
    VQ6120_HANDLE h = InitialVQ6120(loopback(), port_);
    if (h == nullptr) {
        throw std::runtime_error("library could not connect to the test peer");
    }
    close();
    conn_ = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (conn_ < 0) {
        throw std::runtime_error("test peer accept failed");
    }
    {
        std::lock_guard lock(mutex_);
        record_.clear();
        eof_ = false;
    }
    thread_ = std::thread([this, fd = conn_] { reader(fd); });
    return h;
}

void TestPeer::reader(int fd) {
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            eof_ = true;
            arrived_.notify_all();
            return;
        }
        record_.insert(record_.end(), chunk, chunk + n);
        arrived_.notify_all();
    }
}

void TestPeer::send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(conn_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            throw std::runtime_error("test peer send failed");
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

Bytes TestPeer::next(std::size_t n, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    arrived_.wait_for(lock, timeout, [&] { return record_.size() >= n || eof_; });
    n = std::min(n, record_.size());
    Bytes out(record_.begin(), record_.begin() + static_cast<std::ptrdiff_t>(n));
    record_.erase(record_.begin(), record_.begin() + static_cast<std::ptrdiff_t>(n));
    return out;
}

Bytes TestPeer::take_all(std::chrono::milliseconds settle) {
    std::this_thread::sleep_for(settle);
    std::lock_guard lock(mutex_);
    Bytes out;
    out.swap(record_);
    return out;
}

void TestPeer::close() {
    if (conn_ >= 0) {
        ::shutdown(conn_, SHUT_RDWR);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (conn_ >= 0) {
        ::close(conn_);
        conn_ = -1;
    }
}

void TestPeer::reset() {
    if (conn_ >= 0) {
        // A zero linger makes the close send RST instead of FIN. Shutting down
        // the read side first wakes the recorder without telling the host.
        linger hard{1, 0};
        ::setsockopt(conn_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
        ::shutdown(conn_, SHUT_RD);
        if (thread_.joinable()) {
            thread_.join();
        }
        ::close(conn_);
        conn_ = -1;
    }
}

Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode, std::span<const std::uint8_t> payload) {
    const std::size_t length = 8 + payload.size();
    Bytes f(length, 0);
    f[0] = static_cast<std::uint8_t>(length & 0xFF);
    f[1] = static_cast<std::uint8_t>(length >> 8);
    f[2] = channel;
    f[6] = command;
    f[7] = subcode;
    std::copy(payload.begin(), payload.end(), f.begin() + 8);
    return f;
}

Bytes operator+(Bytes a, const Bytes &b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace vq6120::test
