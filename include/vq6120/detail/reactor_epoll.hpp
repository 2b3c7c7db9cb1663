// Linux: epoll for the wait set, an eventfd to end a wait from another thread.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>

namespace vq6120::detail {

using native_socket_t = std::intptr_t;

class Reactor {
public:
    // The key of the wake descriptor; owners never use it.
    static constexpr std::uint64_t kWakeKey = ~std::uint64_t{0};

    Reactor() noexcept {
        epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (epoll_ >= 0 && wake_ >= 0 && !add(wake_, kWakeKey, true, false)) {
            close_all();
        }
    }
    ~Reactor() { close_all(); }
    Reactor(const Reactor &) = delete;
    Reactor &operator=(const Reactor &) = delete;

    bool ok() const noexcept { return epoll_ >= 0 && wake_ >= 0; }

    bool add(native_socket_t s, std::uint64_t key, bool read, bool write) noexcept {
        return control(EPOLL_CTL_ADD, s, key, read, write);
    }
    bool modify(native_socket_t s, std::uint64_t key, bool read, bool write) noexcept {
        return control(EPOLL_CTL_MOD, s, key, read, write);
    }
    void remove(native_socket_t s) noexcept {
        if (epoll_ >= 0) {
            ::epoll_ctl(epoll_, EPOLL_CTL_DEL, static_cast<int>(s), nullptr);
        }
    }

    template <class F>
    int wait(int timeout_ms, F &&ready) {
        if (!ok()) {
            return -1;
        }
        const int n = ::epoll_wait(epoll_, events_.data(), static_cast<int>(events_.size()), timeout_ms);
        if (n < 0) {
            return errno == EINTR ? 0 : -1;
        }
        for (int i = 0; i < n; ++i) {
            const epoll_event &e = events_[static_cast<std::size_t>(i)];
            if (e.data.u64 == kWakeKey) {
                std::uint64_t count = 0;
                [[maybe_unused]] const auto r = ::read(wake_, &count, sizeof count);
                continue;
            }
            const bool failed = (e.events & (EPOLLERR | EPOLLHUP)) != 0;
            ready(e.data.u64, failed || (e.events & (EPOLLIN | EPOLLRDHUP)) != 0,
                  failed || (e.events & EPOLLOUT) != 0);
        }
        return n;
    }

    void wake() noexcept {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto r = ::write(wake_, &one, sizeof one);
    }

private:
    bool control(int op, native_socket_t s, std::uint64_t key, bool read, bool write) noexcept {
        if (epoll_ < 0 || s < 0) {
            return false;
        }
        epoll_event e{};
        e.events = (read ? EPOLLIN | EPOLLRDHUP : 0u) | (write ? EPOLLOUT : 0u);
        e.data.u64 = key;
        return ::epoll_ctl(epoll_, op, static_cast<int>(s), &e) == 0;
    }
    void close_all() noexcept {
        if (wake_ >= 0) {
            ::close(wake_);
        }
        if (epoll_ >= 0) {
            ::close(epoll_);
        }
        wake_ = epoll_ = -1;
    }

    int epoll_ = -1;
    int wake_ = -1;
    std::array<epoll_event, 256> events_{};
};

inline bool wait_readable(native_socket_t s, int timeout_ms) noexcept {
    pollfd p{static_cast<int>(s), POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

}  // namespace vq6120::detail
