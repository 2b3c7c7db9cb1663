// Faults injected through real loopback sockets: a terminal that stops
// reading, goes away in the middle of a frame or a large command, resets the
// connection; descriptors above 1024; SIGPIPE at its default action; signals
// interrupting every wait.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "raw_peer.hpp"
#include "test_peer.hpp"
#include "transport/connection.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::Listener;

std::uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

// ---- A terminal that stops reading -------------------------------------

TEST(Stall, TerminalThatStopsReadingCannotHoldTheHost) {
    Listener listener;
    VQ6120_HANDLE h = InitialVQ6120(loopback(), listener.port());
    ASSERT_NE(h, nullptr);
    const int terminal = listener.accept();  // accepts and never reads
    ASSERT_GE(terminal, 0);

    const Bytes payload(VQ6120_MAX_PAYLOAD, 0x5A);
    bool closed = false;
    std::chrono::steady_clock::duration longest{};
    // Loopback send buffers take a few megabytes at most; 2000 frames of
    // 64 KiB are far more than enough to fill them.
    for (int i = 0; i < 2000 && !closed; ++i) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        std::uint8_t out[16];
        std::int32_t len = sizeof out;
        closed = GetDataFromEthernet(h, out, &len, 0) == VQ6120_RECV_CLOSED;
    }
    EXPECT_TRUE(closed) << "the stalled connection was never shut down";
    std::printf("longest stalled command: %.2f s\n", std::chrono::duration<double>(longest).count());

    // Shut down for good: commands still answer 1 without blocking, reads say 0.
    EXPECT_EQ(SendData(h, 0x60, 0x00, 0, payload.data(), static_cast<std::uint32_t>(payload.size())), 1);
    std::int32_t len = 0;
    EXPECT_EQ(GetDataFromEthernet(h, nullptr, &len, 1), VQ6120_RECV_CLOSED);
    EXPECT_EQ(GetConnectStatus(h, 1), 0);
    ExitVQ6120(h);
    ::close(terminal);
}

}  // namespace
}  // namespace vq6120
