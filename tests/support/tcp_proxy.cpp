#include "tcp_proxy.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <stdexcept>
#include <vector>

namespace vq6120::test {

namespace {

sockaddr_in loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

}  // namespace

TcpProxy::TcpProxy(std::uint16_t target_port) : target_(target_port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 ||
        ::listen(listener_, 64) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &length) != 0 ||
        ::pipe2(wake_, O_CLOEXEC) != 0) {
        ::close(listener_);
        throw std::runtime_error("proxy cannot listen");
    }
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

TcpProxy::~TcpProxy() {
    ::close(wake_[1]);
    thread_.join();
    ::close(wake_[0]);
    ::close(listener_);
}

void TcpProxy::run() {
    // Descriptors in pairs: [2k] and [2k+1] forward to each other.
    std::vector<int> ends;
    std::vector<bool> ended;  // read side closed: no longer watched
    std::array<std::uint8_t, 16384> chunk;
    for (;;) {
        std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
        if (!frozen_) {
            fds.push_back({listener_, POLLIN, 0});
            for (std::size_t k = 0; k < ends.size(); ++k) {
                fds.push_back({ended[k] ? -1 : ends[k], POLLIN, 0});
            }
        }
        // While frozen only the wake pipe is watched; a short wait notices
        // the freeze itself.
        ::poll(fds.data(), fds.size(), 50);
        if (fds[0].revents != 0) {
            break;
        }
        if (frozen_ || fds.size() < 2) {
            continue;
        }
        if (fds[1].revents & POLLIN) {
            const int in = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            const int out = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in to = loopback(target_);
            if (in >= 0 && out >= 0 && ::connect(out, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0) {
                ends.push_back(in);
                ends.push_back(out);
                ended.push_back(false);
                ended.push_back(false);
            } else {
                ::close(in);
                ::close(out);
            }
        }
        for (std::size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents == 0) {
                continue;
            }
            const std::size_t k = i - 2;
            const int from = ends[k];
            const int to = ends[k ^ 1];
            const ssize_t n = ::recv(from, chunk.data(), chunk.size(), MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                ::shutdown(to, SHUT_WR);
                ended[k] = true;
                continue;
            }
            for (ssize_t sent = 0; n > 0 && sent < n;) {
                const ssize_t m = ::send(to, chunk.data() + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
                if (m <= 0) {
                    break;
                }
                sent += m;
            }
        }
    }
    for (const int fd : ends) {
        ::close(fd);
    }
}

}  // namespace vq6120::test
