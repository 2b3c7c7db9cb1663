// The floor for many terminals on one thread: epoll and recv on raw sockets,
// the frames cut by hand. The library's loop can approach it, not beat it.
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "plant_common.hpp"
#include "plant_events.hpp"

namespace vq6120::bench {

RawTerminals::RawTerminals(const std::vector<std::uint16_t> &ports) : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_.get() < 0) {
        throw std::runtime_error("epoll_create1 failed");
    }
    links_.reserve(ports.size());
    for (const std::uint16_t port : ports) {
        Link &link = links_.emplace_back();
        link.fd = raw_connect(port);
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = links_.size() - 1;
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, link.fd.get(), &e) != 0) {
            throw std::runtime_error("epoll_ctl failed");
        }
    }
}

EventFigures RawTerminals::serve(double seconds, std::size_t expected_events) {
    EventFigures figures;
    figures.latency_us.reserve(expected_events);
    epoll_event ready[256];
    const std::int64_t cpu_start = thread_cpu_ns();
    const std::int64_t start = monotonic_ns();
    figures.since_ns = start;
    const std::int64_t end = start + static_cast<std::int64_t>(seconds * 1e9);
    for (std::int64_t now = start; now < end; now = monotonic_ns()) {
        const int n = ::epoll_wait(epoll_.get(), ready, 256, static_cast<int>((end - now) / 1'000'000 + 1));
        for (int i = 0; i < n; ++i) {
            Link &link = links_[ready[i].data.u64];
            if (link.held == link.buffer.size()) {
                link.buffer.resize(link.buffer.size() * 2);
            }
            const ssize_t got = ::recv(link.fd.get(), link.buffer.data() + link.held, link.buffer.size() - link.held,
                                       MSG_DONTWAIT);
            if (got <= 0) {
                if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
                    continue;
                }
                ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, link.fd.get(), nullptr);
                ++figures.lost;
                continue;
            }
            link.held += static_cast<std::size_t>(got);
            std::size_t at = 0;
            for (;;) {
                const std::size_t left = link.held - at;
                const std::size_t length = left < 8 ? 0 : link.buffer[at] | (link.buffer[at + 1] << 8);
                if (left < 8 || length > left) {
                    break;
                }
                if (length < 8) {  // out of step: drop what is held
                    at = link.held;
                    ++figures.unstamped;
                    break;
                }
                figures.record({link.buffer.data() + at + 8, length - 8}, monotonic_ns());
                at += length;
            }
            std::memmove(link.buffer.data(), link.buffer.data() + at, link.held - at);
            link.held -= at;
        }
    }
    figures.cpu_ns = thread_cpu_ns() - cpu_start;
    figures.wall_ns = monotonic_ns() - start;
    return figures;
}

}  // namespace vq6120::bench
