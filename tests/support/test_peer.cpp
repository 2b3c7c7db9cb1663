#include "test_peer.hpp"

#include <algorithm>
#include <stdexcept>

namespace vq6120::test {

TestPeer::TestPeer() {
    sock::service_acquire();
    try {
        listener_ = sock::listen_loopback(port_);
    } catch (...) {
        sock::service_drop();
        throw;
    }
}

TestPeer::~TestPeer() {
    close();
    sock::close(listener_);
    sock::service_drop();
}

std::uint32_t TestPeer::loopback() {
    // 127.0.0.1 in network byte order, whatever the host's byte order.
    const std::uint8_t bytes[4] = {127, 0, 0, 1};
    std::uint32_t address;
    std::copy(bytes, bytes + 4, reinterpret_cast<std::uint8_t *>(&address));
    return address;
}

VQ6120_HANDLE TestPeer::connect(Opener open) {
    VQ6120_HANDLE h = open(loopback(), port_);
    if (h == nullptr) {
        throw std::runtime_error("library could not connect to the test peer");
    }
    accept();
    return h;
}

void TestPeer::accept() {
    close();
    conn_ = sock::accept(listener_);
    if (conn_ == sock::kNone) {
        throw std::runtime_error("test peer accept failed");
    }
    {
        std::lock_guard lock(mutex_);
        record_.clear();
        eof_ = false;
    }
    stop_ = false;
    thread_ = std::thread([this, conn = conn_] { reader(conn); });
}

void TestPeer::reader(sock::Handle conn) {
    std::vector<std::uint8_t> chunk(65536);
    for (;;) {
        if (stop_) {
            return;
        }
        if (!sock::wait_readable(conn, 20)) {
            continue;
        }
        const long n = sock::recv_some(conn, chunk.data(), chunk.size());
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            eof_ = true;
            arrived_.notify_all();
            return;
        }
        record_.insert(record_.end(), chunk.begin(), chunk.begin() + n);
        arrived_.notify_all();
    }
}

void TestPeer::send(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const long n = sock::send_some(conn_, bytes.data(), bytes.size());
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

void TestPeer::stop_reading() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
}

void TestPeer::close() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (conn_ != sock::kNone) {
        sock::shutdown_both(conn_);
        sock::close(conn_);
        conn_ = sock::kNone;
    }
}

void TestPeer::reset() {
    if (conn_ != sock::kNone) {
        // A zero linger makes the close send RST instead of FIN.
        sock::abort_on_close(conn_);
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
        sock::close(conn_);
        conn_ = sock::kNone;
    }
}

}  // namespace vq6120::test
