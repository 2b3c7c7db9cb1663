// A real loopback TCP peer standing in for the terminal in tests: it records
// every byte the library sends, writes scripted byte sequences, and can close
// or reset the connection.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "peer_socket.hpp"

namespace vq6120::test {

using Bytes = std::vector<std::uint8_t>;

class TestPeer {
public:
    // `receive_buffer` > 0: accepted connections get that receive buffer.
    explicit TestPeer(int receive_buffer = 0);
    ~TestPeer();
    TestPeer(const TestPeer &) = delete;
    TestPeer &operator=(const TestPeer &) = delete;

    std::uint16_t port() const { return port_; }
    // 127.0.0.1 as InitialVQ6120 takes it (network byte order).
    static std::uint32_t loopback();

    // Opens a library connection to this peer and accepts it; `open` is
    // InitialVQ6120 or another call taking the same address and port.
    using Opener = VQ6120_HANDLE (*)(std::uint32_t address, std::uint16_t port);
    VQ6120_HANDLE connect(Opener open = InitialVQ6120);
    // Accepts a connection the host opened by other means.
    void accept();

    // Writes bytes to the connected host; returns once they are written.
    void send(std::span<const std::uint8_t> bytes);
    void send(std::initializer_list<std::uint8_t> bytes) { send(Bytes(bytes)); }

    // The next `n` bytes the host sent, waiting up to `timeout` for them;
    // fewer when they do not come. They are taken out of the record.
    Bytes next(std::size_t n, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Everything recorded so far, after a short settle time.
    Bytes take_all(std::chrono::milliseconds settle = std::chrono::milliseconds(50));

    // Stops taking bytes off the connection: the host's sends then fill the
    // socket buffers and stall, as with a terminal that stopped reading.
    void stop_reading();
    // Takes bytes off the connection again, at most `bytes_per_second` of
    // them (0: as fast as they come).
    void resume_reading(std::size_t bytes_per_second = 0);

    // Orderly close of the accepted connection.
    void close();
    // Abortive close: the host's next read sees a reset.
    void reset();

private:
    void reader(sock::Handle conn);

    sock::Handle listener_ = sock::kNone;
    sock::Handle conn_ = sock::kNone;
    std::uint16_t port_ = 0;
    std::thread thread_;
    // Tells the recorder to stop. Not every platform wakes a blocked recv
    // when another thread shuts the socket down, so the recorder only reads
    // what is already there and looks at this between short waits.
    std::atomic<bool> stop_{false};
    std::atomic<std::size_t> rate_{0};
    std::mutex mutex_;
    std::condition_variable arrived_;
    Bytes record_;
    bool eof_ = false;
};

// Builds a frame as the terminal would send it.
Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode, std::span<const std::uint8_t> payload);
inline Bytes frame(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode = 0,
                   std::initializer_list<std::uint8_t> payload = {}) {
    return frame(channel, command, subcode, Bytes(payload));
}
Bytes operator+(Bytes a, const Bytes &b);

}  // namespace vq6120::test
