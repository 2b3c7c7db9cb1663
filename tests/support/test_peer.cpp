#include "test_peer.hpp"

#include <algorithm>
#include <stdexcept>

namespace vq6120::test {

TestPeer::TestPeer(int receive_buffer) {
    sock::service_acquire();
    try {
        listener_ = sock::listen_loopback(port_, receive_buffer);
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
    resume_reading();
}

void TestPeer::reader(sock::Handle conn) {
    constexpr int kTickMs = 20;
    std::vector<std::uint8_t> chunk(65536);
    for (;;) {
        if (stop_) {
            return;
        }
        if (!sock::wait_readable(conn, kTickMs)) {
            continue;
        }
        // A paced reader takes one tick's share and then sleeps out the tick.
        const std::size_t rate = rate_;
        const std::size_t room = rate == 0 ? chunk.size() : std::max<std::size_t>(1, rate * kTickMs / 1000);
        if (rate != 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
        }
        const long n = sock::recv_some(conn, chunk.data(), std::min(room, chunk.size()));
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

void TestPeer::resume_reading(std::size_t bytes_per_second) {
    stop_reading();
    rate_ = bytes_per_second;
    stop_ = false;
    thread_ = std::thread([this, conn = conn_] { reader(conn); });
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
