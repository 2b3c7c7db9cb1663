#include "loopback.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>

namespace vq6120::bench {

Fd &Fd::operator=(Fd &&o) noexcept {
    if (this != &o) {
        reset();
        fd_ = o.release();
    }
    return *this;
}

Fd::~Fd() { reset(); }

int Fd::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

void Fd::reset() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

std::uint32_t Listener::loopback() { return htonl(INADDR_LOOPBACK); }

Fd Listener::accept() {
    Fd fd(test::Listener::accept());
    if (fd.get() < 0) {
        throw std::runtime_error("accept failed");
    }
    return fd;
}

Fd raw_connect(std::uint16_t port, bool nagle) {
    Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(port);
    peer.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd.get() < 0 || ::connect(fd.get(), reinterpret_cast<const sockaddr *>(&peer), sizeof peer) != 0) {
        throw std::runtime_error("raw connect failed");
    }
    const int one = 1;
    if (!nagle) {
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    timeval stall{};
    stall.tv_sec = VQ6120_SEND_STALL_SECONDS;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &stall, sizeof stall);
    return fd;
}

LibraryLink connect_library(Listener &l) {
    LibraryLink link;
    link.host = InitialVQ6120(Listener::loopback(), l.port());
    if (link.host == nullptr) {
        throw std::runtime_error("library could not connect");
    }
    link.peer = l.accept();
    return link;
}

RawLink connect_raw(Listener &l, bool nagle) {
    RawLink link;
    link.host = raw_connect(l.port(), nagle);
    link.peer = l.accept();
    return link;
}

bool await_readable_bytes(int fd, std::size_t n) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < deadline) {
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0) {
            return false;
        }
        if (static_cast<std::size_t>(available) >= n) {
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

namespace {

// Polls the peer descriptors until each has ended: `take(i, fd)` reads what
// arrived on the i-th and returns false when that connection is done.
template <class Take>
void poll_peers(const std::vector<int> &fds, Take take) {
    std::vector<pollfd> polls;
    for (int fd : fds) {
        polls.push_back({fd, POLLIN, 0});
    }
    std::size_t open = polls.size();
    while (open > 0) {
        if (::poll(polls.data(), polls.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        for (std::size_t i = 0; i < polls.size(); ++i) {
            pollfd &p = polls[i];
            if (p.fd >= 0 && p.revents != 0 && !take(i, p.fd)) {
                p.fd = -1;  // poll skips negative descriptors
                --open;
            }
        }
    }
}

bool interrupted_or_empty(ssize_t n) { return n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK); }

void drain_loop(std::vector<int> fds) {
    std::vector<std::uint8_t> sink(1 << 16);
    poll_peers(fds, [&](std::size_t, int fd) {
        const ssize_t n = ::recv(fd, sink.data(), sink.size(), MSG_DONTWAIT);
        return n > 0 || interrupted_or_empty(n);
    });
}

// Takes the whole frames off the front of what one connection sent and
// answers the requests among them. False when the connection is of no
// further use.
bool answer_requests(int fd, std::vector<std::uint8_t> &buffer, std::size_t &held) {
    std::size_t at = 0;
    while (held - at >= 8) {
        const std::size_t length = buffer[at] | (buffer[at + 1] << 8);
        if (length < 8) {
            return false;  // out of step: nothing here can be trusted
        }
        if (held - at < length) {
            break;
        }
        if (buffer[at + 2] == 0x40 && buffer[at + 6] == 0x0A) {
            if (!write_all(fd, di_status_reply())) {
                return false;
            }
        } else if (buffer[at + 2] == 0x40 && buffer[at + 6] == 0x00) {
            if (!write_all(fd, model_name_reply())) {
                return false;
            }
        }
        at += length;
    }
    std::memmove(buffer.data(), buffer.data() + at, held - at);
    held -= at;
    return held < buffer.size();
}

void respond_loop(std::vector<int> fds) {
    struct Stream {
        std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(1 << 16);
        std::size_t held = 0;
    };
    std::vector<Stream> streams(fds.size());
    poll_peers(fds, [&](std::size_t i, int fd) {
        Stream &s = streams[i];
        const ssize_t n = ::recv(fd, s.buffer.data() + s.held, s.buffer.size() - s.held, MSG_DONTWAIT);
        if (interrupted_or_empty(n)) {
            return true;
        }
        if (n <= 0) {
            return false;
        }
        s.held += static_cast<std::size_t>(n);
        return answer_requests(fd, s.buffer, s.held);
    });
}

}  // namespace

PeerThread::PeerThread(std::vector<Fd> peers, void (*loop)(std::vector<int> fds)) : peers_(std::move(peers)) {
    std::vector<int> fds;
    for (const Fd &fd : peers_) {
        fds.push_back(fd.get());
    }
    thread_ = std::thread(loop, std::move(fds));
}

void PeerThread::stop() {
    for (const Fd &fd : peers_) {
        ::shutdown(fd.get(), SHUT_RDWR);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
}

PeerThread::~PeerThread() { stop(); }

Drain::Drain(std::vector<Fd> peers) : PeerThread(std::move(peers), drain_loop) {}

Responder::Responder(std::vector<Fd> peers) : PeerThread(std::move(peers), respond_loop) {}

const Bytes &di_status_reply() {
    static const Bytes reply = frame(0x40, 0x0A, 0x00, Bytes{0x31, 0x32});
    return reply;
}

const Bytes &model_name_reply() {
    static const Bytes reply = frame(0x40, 0x00, 0x00, Bytes{'V', 'Q', '6', '1', '2', '0', 'E'});
    return reply;
}

}  // namespace vq6120::bench
