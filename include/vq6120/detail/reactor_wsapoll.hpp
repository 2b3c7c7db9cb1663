// Windows: WSAPoll over an array of the watched sockets, and a loopback UDP
// socket that sends itself a datagram to end a wait from another thread
// (WSAPoll waits on sockets only). Hosts link ws2_32. Some Windows releases'
// WSAPoll does not report a refused non-blocking connect; the Poller's
// connect limit ends such an attempt instead.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdint>
#include <optional>
#include <tuple>
#include <unordered_map>
#include <vector>

namespace vq6120::detail {

using native_socket_t = std::intptr_t;

class Reactor {
public:
    static constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

    // Only the array's first allocation may throw (std::bad_alloc), before
    // anything is acquired.
    Reactor() {
        fds_.reserve(64);
        keys_.reserve(64);
        WSADATA data;
        started_ = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
        if (!started_) {
            return;
        }
        wake_ = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int length = sizeof a;
        u_long nonblocking = 1;
        if (wake_ == INVALID_SOCKET || ::bind(wake_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
            ::getsockname(wake_, reinterpret_cast<sockaddr *>(&wake_address_), &length) != 0 ||
            ::ioctlsocket(wake_, FIONBIO, &nonblocking) != 0) {
            close_wake();
            return;
        }
        // First in the array and never in the index: nothing moves it.
        fds_.push_back(WSAPOLLFD{wake_, flags(true, false), 0});
        keys_.push_back(kWakeKey);
    }
    ~Reactor() {
        close_wake();
        if (started_) {
            ::WSACleanup();
        }
    }
    Reactor(const Reactor &) = delete;
    Reactor &operator=(const Reactor &) = delete;

    bool ok() const noexcept { return wake_ != INVALID_SOCKET; }

    // May throw std::bad_alloc as the array grows.
    bool add(native_socket_t s, std::uint64_t key, bool read, bool write) {
        if (s == static_cast<native_socket_t>(INVALID_SOCKET) || index_.count(s) != 0) {
            return false;
        }
        index_.emplace(s, fds_.size());
        fds_.push_back(WSAPOLLFD{static_cast<SOCKET>(s), flags(read, write), 0});
        keys_.push_back(key);
        return true;
    }
    bool modify(native_socket_t s, std::uint64_t key, bool read, bool write) noexcept {
        const auto i = index_.find(s);
        if (i == index_.end()) {
            return false;
        }
        fds_[i->second].events = flags(read, write);
        keys_[i->second] = key;
        return true;
    }
    void remove(native_socket_t s) noexcept {
        const auto i = index_.find(s);
        if (i == index_.end()) {
            return;
        }
        const std::size_t at = i->second;
        index_.erase(i);
        if (at + 1 != fds_.size()) {
            fds_[at] = fds_.back();
            keys_[at] = keys_.back();
            index_[static_cast<native_socket_t>(fds_[at].fd)] = at;
        }
        fds_.pop_back();
        keys_.pop_back();
    }

    template <class F>
    int wait(int timeout_ms, F &&ready) {
        if (!ok()) {
            return -1;
        }
        const int n = ::WSAPoll(fds_.data(), static_cast<ULONG>(fds_.size()), timeout_ms);
        if (n < 0) {
            return -1;
        }
        // The owner adds and removes sockets while it handles them: take the
        // results out of the array first.
        ready_.clear();
        for (std::size_t i = 0; i < fds_.size() && ready_.size() < static_cast<std::size_t>(n); ++i) {
            const SHORT r = fds_[i].revents;
            if (r == 0) {
                continue;
            }
            fds_[i].revents = 0;
            if (keys_[i] == kWakeKey) {
                char drain[64];
                while (::recv(wake_, drain, sizeof drain, 0) > 0) {
                }
                ready_.emplace_back(kWakeKey, false, false);
                continue;
            }
            const bool failed = (r & (POLLERR | POLLHUP | POLLNVAL)) != 0;
            ready_.emplace_back(keys_[i], failed || (r & POLLRDNORM) != 0, failed || (r & POLLWRNORM) != 0);
        }
        for (const auto &[key, readable, writable] : ready_) {
            if (key != kWakeKey) {
                ready(key, readable, writable);
            }
        }
        return n;
    }

    void wake() noexcept {
        const char one = 1;
        ::sendto(wake_, &one, 1, 0, reinterpret_cast<const sockaddr *>(&wake_address_), sizeof wake_address_);
    }

private:
    static SHORT flags(bool read, bool write) noexcept {
        return static_cast<SHORT>((read ? POLLRDNORM : 0) | (write ? POLLWRNORM : 0));
    }
    void close_wake() noexcept {
        if (wake_ != INVALID_SOCKET) {
            ::closesocket(wake_);
            wake_ = INVALID_SOCKET;
        }
    }

    bool started_ = false;
    SOCKET wake_ = INVALID_SOCKET;
    sockaddr_in wake_address_{};
    std::vector<WSAPOLLFD> fds_;
    std::vector<std::uint64_t> keys_;
    std::unordered_map<native_socket_t, std::size_t> index_;
    std::vector<std::tuple<std::uint64_t, bool, bool>> ready_;
};

inline bool wait_readable(native_socket_t s, int timeout_ms) noexcept {
    WSAPOLLFD p{static_cast<SOCKET>(s), POLLRDNORM, 0};
    return ::WSAPoll(&p, 1, timeout_ms) > 0;
}

}  // namespace vq6120::detail
