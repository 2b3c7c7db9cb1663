// Opening and closing connections, and sending raw frames, through real
// loopback sockets.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "test_peer.hpp"
#include "transport/connection.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::TestPeer;

struct Connected : ::testing::Test {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ~Connected() override { ExitVQ6120(h); }
};

TEST(Lifecycle, ConnectsToTheAddressAsItLiesInMemory) {
    TestPeer peer;
    const std::uint8_t bytes[4] = {0x7F, 0x00, 0x00, 0x01};
    std::uint32_t address;
    std::memcpy(&address, bytes, 4);
    VQ6120_HANDLE h = InitialVQ6120(address, peer.port());
    ASSERT_NE(h, nullptr);
    std::uint32_t where = 0;
    std::uint16_t port = 0;
    ASSERT_TRUE(test::sock::peer_address(h->socket, where, port));
    EXPECT_EQ(where, address);
    EXPECT_EQ(port, peer.port());
    ExitVQ6120(h);
}

TEST(Lifecycle, RefusedConnectGivesNullAndTheNextConnectWorks) {
    std::uint16_t closed_port;
    {
        TestPeer gone;
        closed_port = gone.port();
    }
    EXPECT_EQ(InitialVQ6120(TestPeer::loopback(), closed_port), nullptr);
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    EXPECT_EQ(SendData(h, 0x40, 0x0A, 0, nullptr, 0), 1);
    EXPECT_EQ(peer.next(8), (Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}));
    ExitVQ6120(h);
}

TEST(Lifecycle, ExitIgnoresNullAndVersionIsFixed) {
    ExitVQ6120(nullptr);
    EXPECT_EQ(GetDllVersion(), 1.31);
    EXPECT_EQ(fnVQ6120_LIB(), 42);
    EXPECT_EQ(nVQ6120_LIB, 0);
    CVQ6120_LIB a, b;
    EXPECT_EQ(&(a = b), &a);
}

TEST(Lifecycle, TwoConnectionsAreIndependent) {
    TestPeer peer_a, peer_b;
    VQ6120_HANDLE a = peer_a.connect();
    VQ6120_HANDLE b = peer_b.connect();
    peer_b.send(test::frame(0x40, 0x37, 0, {0x09}));
    ExitVQ6120(a);
    EXPECT_EQ(SendData(b, 0x40, 0x0C, 0, Bytes{0x01}.data(), 1), 1);
    EXPECT_EQ(peer_b.next(9), (Bytes{0x09, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0C, 0x00, 0x01}));
    std::uint8_t out[4];
    std::int32_t len = 4;
    EXPECT_EQ(GetDataFromEthernet(b, out, &len, 1), 3);
    EXPECT_EQ(out[0], 0x09);
    ExitVQ6120(b);
}

TEST_F(Connected, SocketHasNagleOff) {
    bool on = false;
    ASSERT_TRUE(test::sock::nodelay(h->socket, on));
    EXPECT_TRUE(on);
}

TEST_F(Connected, SendDataWritesTheFrameAsGiven) {
    struct Case {
        std::uint8_t channel, command, subcode;
        Bytes data;
        Bytes wire;
    };
    const Case cases[] = {
        {0x40, 0x0A, 0x00, {}, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}},
        {0x61, 0x05, 0x07, {0x01, 0x02}, {0x0A, 0x00, 0x61, 0x00, 0x00, 0x00, 0x05, 0x07, 0x01, 0x02}},
        {0x00, 0xFF, 0xFE, {0x00, 0x00, 0x00}, {0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFE, 0x00, 0x00, 0x00}},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(SendData(h, c.channel, c.command, c.subcode, c.data.data(), static_cast<std::uint32_t>(c.data.size())), 1);
        EXPECT_EQ(peer.next(c.wire.size()), c.wire);
    }
}

TEST_F(Connected, LargePayloadsTravelWholeUpToTheLengthFieldsLimit) {
    for (const std::size_t size : {std::size_t{256}, std::size_t{257}, std::size_t{1000}, kMaxPayloadSize}) {
        Bytes data(size);
        for (std::size_t i = 0; i < size; ++i) {
            data[i] = static_cast<std::uint8_t>(i * 7);
        }
        ASSERT_EQ(SendData(h, 0x60, 0x00, 0x00, data.data(), static_cast<std::uint32_t>(size)), 1);
        const Bytes got = peer.next(size + 8);
        ASSERT_EQ(got.size(), size + 8);
        EXPECT_EQ(got[0] | (got[1] << 8), static_cast<int>(size + 8));
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin() + 8)) << size;
    }
}

TEST_F(Connected, RefusedCallsSendNothing) {
    Bytes huge(kMaxPayloadSize + 1);
    EXPECT_EQ(SendData(h, 0x40, 0x00, 0, huge.data(), static_cast<std::uint32_t>(huge.size())), 0);
    EXPECT_EQ(SendData(h, 0x40, 0x00, 0, huge.data(), 0xFFFFFFFFu), 0);
    EXPECT_EQ(SendData(h, 0x40, 0x00, 0, nullptr, 3), 0);
    EXPECT_EQ(SendData(nullptr, 0x40, 0x00, 0, huge.data(), 3), 0);
    // The next bytes on the wire are exactly the frame that follows.
    EXPECT_EQ(SendData(h, 0x40, 0x0A, 0, nullptr, 0), 1);
    EXPECT_EQ(peer.next(8), (Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}));
    EXPECT_TRUE(peer.take_all().empty());
}

TEST_F(Connected, SendingToAVanishedPeerReturnsOneAndDoesNotKillTheHost) {
    // Where there is SIGPIPE, it stays at its default action: a send without
    // MSG_NOSIGNAL would end this process.
    const test::sock::DefaultSigpipe sigpipe;
    peer.reset();
    std::uint8_t out[8];
    std::int32_t len = 8;
    for (int i = 0; i < 20; ++i) {
        EXPECT_EQ(SendData(h, 0x40, 0x0A, 0, nullptr, 0), 1);
    }
    EXPECT_EQ(GetDataFromEthernet(h, out, &len, 1), 0);
    EXPECT_EQ(len, 0);
}

TEST_F(Connected, ATerminalThatStopsReadingHoldsNoCommandPastTheStallBound) {
    using std::chrono::steady_clock;
    peer.stop_reading();
    const Bytes data(kMaxPayloadSize, 0x55);
    // A send that blocked for good would run into the test's own time limit.
    const auto give_up = steady_clock::now() + std::chrono::seconds(60);
    std::uint8_t out[8];
    std::int32_t len = sizeof out;
    std::int32_t received = 1;
    int sends = 0;
    // The socket buffers on both sides take at most some megabytes; once they
    // are full a send stalls, the bound cuts it, and the connection is shut
    // down, which the receive path then reports as closed.
    while (received == 1 && steady_clock::now() < give_up) {
        EXPECT_EQ(SendData(h, 0x60, 0x00, 0x00, data.data(), static_cast<std::uint32_t>(data.size())), 1);
        ++sends;
        len = sizeof out;
        received = GetDataFromEthernet(h, out, &len, 0);
    }
    EXPECT_EQ(received, 0) << "after " << sends << " sends";
    EXPECT_EQ(len, 0);
}

}  // namespace
}  // namespace vq6120
