#include "os/os.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace vq6120::sim::os {
namespace {

int fd_of(std::intptr_t s) { return static_cast<int>(s); }

std::string name_of(const sockaddr_in &a) {
    char text[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

bool parse_address(const std::string &address, std::uint16_t port, sockaddr_in &out) {
    out = {};
    out.sin_family = AF_INET;
    out.sin_port = htons(port);
    return ::inet_pton(AF_INET, address.c_str(), &out.sin_addr) == 1;
}

}  // namespace

Socket listen_on(const std::string &address, std::uint16_t port, int backlog, std::uint16_t &bound,
                 std::string &error) {
    sockaddr_in addr{};
    if (!parse_address(address, port, addr)) {
        error = "not an IPv4 address: " + address;
        return kNoSocket;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        error = std::string("cannot make a socket: ") + std::strerror(errno);
        return kNoSocket;
    }
    const int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || ::listen(fd, backlog) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
        ::close(fd);
        return kNoSocket;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    bound = ntohs(addr.sin_port);
    return fd;
}

void set_backlog(Socket listener, int backlog) { ::listen(fd_of(listener), backlog); }

Socket accept_from(Socket listener, std::string &peer) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    const int fd = ::accept4(fd_of(listener), reinterpret_cast<sockaddr *>(&addr), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return kNoSocket;
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    peer = name_of(addr);
    return fd;
}

Socket connect_to(const std::string &address, std::uint16_t port, std::string &local) {
    sockaddr_in addr{};
    if (!parse_address(address, port, addr)) {
        return kNoSocket;
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return kNoSocket;
    }
    if (::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 && errno != EINPROGRESS) {
        ::close(fd);
        return kNoSocket;
    }
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    local = name_of(addr);
    return fd;
}

bool connected_within(Socket s, int ms) {
    pollfd p{fd_of(s), POLLOUT, 0};
    if (::poll(&p, 1, ms) != 1) {
        return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    return ::getsockopt(fd_of(s), SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

long receive(Socket s, std::span<std::uint8_t> buffer, std::string &error) {
    const ssize_t n = ::recv(fd_of(s), buffer.data(), buffer.size(), 0);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return kWouldBlock;
    }
    error = std::strerror(errno);
    return kFailed;
}

long send(Socket s, std::span<const std::uint8_t> bytes, std::string &error) {
    const ssize_t n = ::send(fd_of(s), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) {
        return static_cast<long>(n);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return 0;
    }
    error = std::strerror(errno);
    return kFailed;
}

void close(Socket s) noexcept {
    if (s != kNoSocket) {
        ::close(fd_of(s));
    }
}

long read_input(int fd, std::span<std::uint8_t> buffer, std::string &error) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n >= 0) {
        return static_cast<long>(n);
    }
    if (errno == EAGAIN || errno == EINTR) {
        return kWouldBlock;
    }
    error = std::strerror(errno);
    return kFailed;
}

bool raise_descriptor_limit(std::size_t wanted, std::string &error) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error = std::string("cannot read the descriptor limit: ") + std::strerror(errno);
        return false;
    }
    if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur >= wanted) {
        return true;
    }
    if (limit.rlim_cur == RLIM_INFINITY) {
        return true;
    }
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted) {
        error = "needs " + std::to_string(wanted) + " descriptors but the hard limit is " +
                std::to_string(limit.rlim_max) + " (raise it, e.g. ulimit -Hn, or run fewer terminals)";
        return false;
    }
    limit.rlim_cur = wanted;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) {
        error = "cannot raise the descriptor limit to " + std::to_string(wanted) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

namespace {
void (*stop_requested)() = nullptr;
extern "C" void on_stop_signal(int) {
    if (stop_requested != nullptr) {
        stop_requested();
    }
}
}  // namespace

void on_stop_request(void (*stop)()) {
    stop_requested = stop;
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool watches_standard_input() noexcept { return true; }

std::uint64_t monotonic_ns() noexcept {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

Loop::Loop() : queue_(::epoll_create1(EPOLL_CLOEXEC)) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_ = fds[0];
        wake_write_ = fds[1];
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = kWakeTag;
        ::epoll_ctl(fd_of(queue_), EPOLL_CTL_ADD, fd_of(wake_read_), &e);
    }
}

Loop::~Loop() {
    for (const auto fd : {queue_, wake_read_, wake_write_}) {
        if (fd >= 0) {
            ::close(fd_of(fd));
        }
    }
}

bool Loop::ok() const noexcept { return queue_ >= 0 && wake_read_ >= 0; }

bool Loop::watch(Socket s, std::uint64_t tag, bool read, bool write) {
    epoll_event e{};
    e.events = (read ? EPOLLIN : 0u) | (write ? EPOLLOUT : 0u);
    e.data.u64 = tag;
    if (::epoll_ctl(fd_of(queue_), EPOLL_CTL_MOD, fd_of(s), &e) == 0) {
        return true;
    }
    return errno == ENOENT && ::epoll_ctl(fd_of(queue_), EPOLL_CTL_ADD, fd_of(s), &e) == 0;
}

void Loop::forget(Socket s) noexcept { ::epoll_ctl(fd_of(queue_), EPOLL_CTL_DEL, fd_of(s), nullptr); }

bool Loop::watch_input(int fd, std::uint64_t tag) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = tag;
    return ::epoll_ctl(fd_of(queue_), EPOLL_CTL_ADD, fd, &e) == 0;
}

std::span<const Loop::Event> Loop::wait(int timeout_ms) {
    epoll_event raw[256];
    events_.clear();
    const int n = ::epoll_wait(fd_of(queue_), raw, 256, timeout_ms);
    for (int i = 0; i < n; ++i) {
        const auto &e = raw[i];
        if (e.data.u64 == kWakeTag) {
            char drain[64];
            while (::read(fd_of(wake_read_), drain, sizeof drain) > 0) {
            }
        }
        events_.push_back({e.data.u64, (e.events & EPOLLIN) != 0, (e.events & EPOLLOUT) != 0,
                           (e.events & (EPOLLHUP | EPOLLERR)) != 0});
    }
    return events_;
}

void Loop::wake() noexcept {
    const char c = 'w';
    [[maybe_unused]] const auto n = ::write(fd_of(wake_write_), &c, 1);
}

}  // namespace vq6120::sim::os
