// A user-space TCP proxy on loopback, for links that die without a word: it
// forwards bytes both ways until freeze(), after which it moves nothing more
// yet keeps both sockets of every pair open, as a pulled cable or a crashed
// switch leaves them. Neither end sees a close or a reset.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace vq6120::test {

class TcpProxy {
public:
    // Forwards connections made to port() on to 127.0.0.1:`target_port`.
    explicit TcpProxy(std::uint16_t target_port);
    ~TcpProxy();
    TcpProxy(const TcpProxy &) = delete;
    TcpProxy &operator=(const TcpProxy &) = delete;

    std::uint16_t port() const { return port_; }
    // From now on nothing is read, written, accepted or closed.
    void freeze() { frozen_ = true; }

private:
    void run();

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    std::uint16_t target_;
    std::uint16_t port_ = 0;
    std::atomic<bool> frozen_{false};
    std::thread thread_;
};

}  // namespace vq6120::test
