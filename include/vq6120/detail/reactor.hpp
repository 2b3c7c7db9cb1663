// The one place where vq6120.hpp chooses its platform's readiness wait: epoll
// on Linux, WSAPoll on Windows. Both files offer the same small interface:
//
//   class Reactor {
//       bool ok() const noexcept;                 // the wait set exists
//       bool add(native_socket_t, std::uint64_t key, bool read, bool write) noexcept;
//       bool modify(native_socket_t, std::uint64_t key, bool read, bool write) noexcept;
//       void remove(native_socket_t) noexcept;    // before the socket is closed
//       // Waits up to `timeout_ms` (0: no wait) and calls
//       // ready(key, readable, writable) per ready socket; an error or hang-up
//       // counts as both, so the owner's next call on the socket reports it.
//       // Returns the number of ready sockets, or -1 when the wait failed.
//       template <class F> int wait(int timeout_ms, F &&ready);
//       void wake() noexcept;                     // any thread: ends a wait
//   };
//   bool wait_readable(native_socket_t, int timeout_ms) noexcept;
//
// select() is never used: it cannot take descriptors above FD_SETSIZE.
#pragma once

#if defined(_WIN32)
#include "reactor_wsapoll.hpp"
#elif defined(__linux__)
#include "reactor_epoll.hpp"
#else
#error "vq6120.hpp: the Poller needs epoll (Linux) or WSAPoll (Windows)"
#endif

namespace vq6120::detail {

// A dotted IPv4 address in network byte order (both platforms' headers above
// declare inet_pton).
inline std::optional<std::uint32_t> parse_ipv4(const char *dotted) noexcept {
    in_addr a{};
    if (::inet_pton(AF_INET, dotted, &a) != 1) {
        return std::nullopt;
    }
    return a.s_addr;
}

}  // namespace vq6120::detail
