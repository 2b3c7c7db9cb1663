// The simulator's operating-system calls on Windows (Winsock 2.2). The loop
// is WSAPoll over the watched sockets: no FD_SETSIZE limit, so a farm of
// thousands of terminals fits. It is woken by a datagram to a loopback UDP
// socket of its own, which is safe from any thread and from the console's
// Ctrl+C handler (itself a thread). Standard input cannot join a socket poll,
// so the operator's commands come from --script here.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <windows.h>
#include <ws2tcpip.h>
#include <io.h>

#include <algorithm>
#include <climits>
#include <csignal>

#include "os/os.hpp"

namespace vq6120::sim::os {
namespace {

SOCKET native(std::intptr_t s) { return static_cast<SOCKET>(s); }

// Winsock is started once for the whole program and left running: the
// simulator's sockets live until it exits.
bool winsock_started() {
    static const bool started = [] {
        WSADATA data;
        return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

std::string last_error() { return "Winsock error " + std::to_string(::WSAGetLastError()); }

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

bool non_blocking(SOCKET s) {
    u_long yes = 1;
    return ::ioctlsocket(s, FIONBIO, &yes) == 0;
}

int chunk(std::size_t size) { return static_cast<int>(std::min<std::size_t>(size, INT_MAX)); }

}  // namespace

Socket listen_on(const std::string &address, std::uint16_t port, int backlog, std::uint16_t &bound,
                 std::string &error) {
    sockaddr_in addr{};
    if (!parse_address(address, port, addr)) {
        error = "not an IPv4 address: " + address;
        return kNoSocket;
    }
    if (!winsock_started()) {
        error = "cannot start Winsock";
        return kNoSocket;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        error = "cannot make a socket: " + last_error();
        return kNoSocket;
    }
    // Not SO_REUSEADDR: on Windows it lets a second program take a port in use.
    const BOOL yes = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&yes), sizeof yes);
    if (!non_blocking(s) || ::bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(s, backlog) != 0) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + last_error();
        ::closesocket(s);
        return kNoSocket;
    }
    int len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    bound = ntohs(addr.sin_port);
    return static_cast<Socket>(s);
}

void set_backlog(Socket listener, int backlog) { ::listen(native(listener), backlog); }

Socket accept_from(Socket listener, std::string &peer) {
    sockaddr_in addr{};
    int len = sizeof addr;
    const SOCKET s = ::accept(native(listener), reinterpret_cast<sockaddr *>(&addr), &len);
    if (s == INVALID_SOCKET) {
        return kNoSocket;
    }
    const BOOL yes = TRUE;
    non_blocking(s);
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char *>(&yes), sizeof yes);
    peer = name_of(addr);
    return static_cast<Socket>(s);
}

Socket connect_to(const std::string &address, std::uint16_t port, std::string &local) {
    sockaddr_in addr{};
    if (!parse_address(address, port, addr) || !winsock_started()) {
        return kNoSocket;
    }
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return kNoSocket;
    }
    if (!non_blocking(s) || (::connect(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 &&
                             ::WSAGetLastError() != WSAEWOULDBLOCK)) {
        ::closesocket(s);
        return kNoSocket;
    }
    int len = sizeof addr;
    ::getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len);
    local = name_of(addr);
    return static_cast<Socket>(s);
}

bool connected_within(Socket s, int ms) {
    // select, not WSAPoll: a refused connect shows in the exception set,
    // which WSAPoll does not report on every Windows.
    fd_set writable, failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(native(s), &writable);
    FD_SET(native(s), &failed);
    timeval limit{ms / 1000, (ms % 1000) * 1000};
    if (::select(0, nullptr, &writable, &failed, &limit) != 1 || !FD_ISSET(native(s), &writable)) {
        return false;
    }
    int error = 0;
    int len = sizeof error;
    return ::getsockopt(native(s), SOL_SOCKET, SO_ERROR, reinterpret_cast<char *>(&error), &len) == 0 && error == 0;
}

long receive(Socket s, std::span<std::uint8_t> buffer, std::string &error) {
    const int n = ::recv(native(s), reinterpret_cast<char *>(buffer.data()), chunk(buffer.size()), 0);
    if (n >= 0) {
        return n;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return kWouldBlock;
    }
    error = last_error();
    return kFailed;
}

long send(Socket s, std::span<const std::uint8_t> bytes, std::string &error) {
    const int n = ::send(native(s), reinterpret_cast<const char *>(bytes.data()), chunk(bytes.size()), 0);
    if (n >= 0) {
        return n;
    }
    if (::WSAGetLastError() == WSAEWOULDBLOCK) {
        return 0;
    }
    error = last_error();
    return kFailed;
}

void close(Socket s) noexcept {
    if (s != kNoSocket) {
        ::closesocket(native(s));
    }
}

long read_input(int fd, std::span<std::uint8_t> buffer, std::string &error) {
    const int n = ::_read(fd, buffer.data(), static_cast<unsigned>(std::min<std::size_t>(buffer.size(), INT_MAX)));
    if (n >= 0) {
        return n;
    }
    error = "cannot read the operator's input";
    return kFailed;
}

// Windows has no per-process limit on sockets to raise.
bool raise_descriptor_limit(std::size_t, std::string &) { return true; }

namespace {
void (*stop_requested)() = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
    if (stop_requested == nullptr ||
        (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)) {
        return FALSE;
    }
    stop_requested();
    return TRUE;
}

extern "C" void on_stop_signal(int) {
    if (stop_requested != nullptr) {
        stop_requested();
    }
}
}  // namespace

void on_stop_request(void (*stop)()) {
    stop_requested = stop;
    ::SetConsoleCtrlHandler(on_console_event, TRUE);
    std::signal(SIGTERM, on_stop_signal);
}

bool watches_standard_input() noexcept { return false; }

std::uint64_t monotonic_ns() noexcept {
    static const LONGLONG frequency = [] {
        LARGE_INTEGER f;
        ::QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    const auto ticks = static_cast<std::uint64_t>(now.QuadPart);
    const auto per_second = static_cast<std::uint64_t>(frequency);
    return ticks / per_second * 1'000'000'000u + ticks % per_second * 1'000'000'000u / per_second;
}

Loop::Loop() {
    if (!winsock_started()) {
        return;
    }
    const SOCKET in = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    const SOCKET out = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in addr{};
    parse_address("127.0.0.1", 0, addr);
    int len = sizeof addr;
    if (in == INVALID_SOCKET || out == INVALID_SOCKET || !non_blocking(in) || !non_blocking(out) ||
        ::bind(in, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::getsockname(in, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        ::connect(out, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (in != INVALID_SOCKET) ::closesocket(in);
        if (out != INVALID_SOCKET) ::closesocket(out);
        return;
    }
    wake_read_ = static_cast<std::intptr_t>(in);
    wake_write_ = static_cast<std::intptr_t>(out);
    queue_ = 0;
}

Loop::~Loop() {
    close(wake_read_);
    close(wake_write_);
}

bool Loop::ok() const noexcept { return queue_ >= 0 && wake_read_ != kNoSocket; }

bool Loop::watch(Socket s, std::uint64_t tag, bool read, bool write) {
    const auto at = std::find_if(watched_.begin(), watched_.end(), [s](const Watched &w) { return w.s == s; });
    if (at != watched_.end()) {
        *at = {s, tag, read, write};
    } else {
        watched_.push_back({s, tag, read, write});
    }
    return true;
}

void Loop::forget(Socket s) noexcept {
    std::erase_if(watched_, [s](const Watched &w) { return w.s == s; });
}

bool Loop::watch_input(int, std::uint64_t) { return false; }

std::span<const Loop::Event> Loop::wait(int timeout_ms) {
    std::vector<WSAPOLLFD> fds;
    std::vector<std::uint64_t> tags;
    fds.reserve(watched_.size() + 1);
    fds.push_back({native(wake_read_), POLLRDNORM, 0});
    tags.push_back(kWakeTag);
    for (const auto &w : watched_) {
        // WSAPoll refuses an entry that asks for nothing; such a socket waits.
        const SHORT wanted = static_cast<SHORT>((w.read ? POLLRDNORM : 0) | (w.write ? POLLWRNORM : 0));
        if (wanted != 0) {
            fds.push_back({native(w.s), wanted, 0});
            tags.push_back(w.tag);
        }
    }
    events_.clear();
    if (::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeout_ms) <= 0) {
        return events_;
    }
    for (std::size_t i = 0; i < fds.size(); ++i) {
        const SHORT r = fds[i].revents;
        if (r == 0) {
            continue;
        }
        if (i == 0) {
            char drain[64];
            while (::recv(fds[0].fd, drain, sizeof drain, 0) > 0) {
            }
        }
        events_.push_back({tags[i], (r & (POLLRDNORM | POLLRDBAND)) != 0, (r & POLLWRNORM) != 0,
                           (r & (POLLHUP | POLLERR | POLLNVAL)) != 0});
    }
    return events_;
}

void Loop::wake() noexcept {
    const char c = 'w';
    ::send(native(wake_write_), &c, 1, 0);
}

}  // namespace vq6120::sim::os
