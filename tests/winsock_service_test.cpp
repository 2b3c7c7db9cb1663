// Winsock's start-up count across connections: InitialVQ6120 takes exactly
// one reference and gives it back on its failure paths, ExitVQ6120 gives back
// the one a connection holds. A leaked reference keeps Winsock up after the
// host's own WSACleanup; a reference given back twice pulls Winsock out from
// under the host's own sockets.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>

#include <gtest/gtest.h>

#include <optional>

#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::TestPeer;

// Whether Winsock is started in this process: socket() says so.
bool winsock_started() {
    const SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        return ::WSAGetLastError() != WSANOTINITIALISED;
    }
    ::closesocket(s);
    return true;
}

struct WinsockCount : ::testing::Test {
    void SetUp() override {
        // Nothing in this process holds Winsock between tests.
        ASSERT_FALSE(winsock_started());
    }
};

std::uint16_t port_where_nobody_listens() {
    TestPeer gone;
    return gone.port();
}

TEST_F(WinsockCount, AFailedConnectLeavesTheCountAsItWas) {
    const std::uint16_t port = port_where_nobody_listens();
    EXPECT_EQ(InitialVQ6120(TestPeer::loopback(), port), nullptr);
    EXPECT_FALSE(winsock_started()) << "the failed connect kept a reference";

    WSADATA data;
    ASSERT_EQ(::WSAStartup(MAKEWORD(2, 2), &data), 0);
    EXPECT_EQ(InitialVQ6120(TestPeer::loopback(), port), nullptr);
    EXPECT_TRUE(winsock_started()) << "the failed connect released the host's reference";
    ::WSACleanup();
    EXPECT_FALSE(winsock_started());
}

TEST_F(WinsockCount, AConnectionHoldsOneReferenceUntilItsExit) {
    std::optional<TestPeer> peer(std::in_place);
    VQ6120_HANDLE h = peer->connect();
    peer.reset();  // the peer's own reference goes
    EXPECT_TRUE(winsock_started()) << "the open connection holds no reference";
    ExitVQ6120(h);
    EXPECT_FALSE(winsock_started()) << "ExitVQ6120 did not give its reference back";
}

TEST_F(WinsockCount, ConnectionsCountSeparately) {
    std::optional<TestPeer> peer_a(std::in_place), peer_b(std::in_place);
    VQ6120_HANDLE a = peer_a->connect();
    VQ6120_HANDLE b = peer_b->connect();
    peer_a.reset();
    peer_b.reset();
    ExitVQ6120(a);
    EXPECT_TRUE(winsock_started()) << "closing one connection released the other's reference";
    ExitVQ6120(b);
    EXPECT_FALSE(winsock_started());
}

}  // namespace
}  // namespace vq6120
