// The calls for hosts that serve many terminals from one loop: the socket,
// opening without blocking or with a time limit, batches and keepalive.
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>

#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::TestPeer;
using test::operator+;

const Bytes kAlive = {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x12, 0x01};
const Bytes kModelRequest = {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kClear = {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40, 0x00};

std::uint16_t closed_port() {
    TestPeer gone;
    return gone.port();
}

struct Refusal {
    std::string what;
    std::function<std::int64_t(VQ6120_HANDLE)> call;
    std::int64_t result;
};

// Null handles and values out of range: the stated result, nothing sent (the
// next bytes the peer sees are the host-alive frame sent after each), and a
// refused call leaves the socket's keepalive as it was.
TEST(Extension, BadArgumentsAreRefusedAndSendNothing) {
    const std::vector<Refusal> cases = {
        {"socket of null", [](auto) { return VQ6120Ex_GetSocket(nullptr); }, -1},
        {"buffered of null", [](auto) { return VQ6120Ex_BufferedBytes(nullptr); }, -1},
        {"finish null", [](auto) { return VQ6120Ex_FinishOpen(nullptr, 0); }, 0},
        {"begin null", [](auto) { return VQ6120Ex_BeginBatch(nullptr); }, 0},
        {"end null", [](auto) { return VQ6120Ex_EndBatch(nullptr); }, 0},
        {"end without begin", [](auto h) { return VQ6120Ex_EndBatch(h); }, 0},
        {"keepalive null", [](auto) { return VQ6120Ex_SetKeepAlive(nullptr, 10, 1, 3); }, 0},
        {"keepalive idle -1", [](auto h) { return VQ6120Ex_SetKeepAlive(h, -1, 1, 3); }, 0},
        {"keepalive idle 32768", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 32768, 1, 3); }, 0},
        {"keepalive interval 0", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 10, 0, 3); }, 0},
        {"keepalive count 0", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 10, 1, 0); }, 0},
        {"keepalive count 128", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 10, 1, 128); }, 0},
        {"keepalive on", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 32767, 32767, 127); }, 1},
        {"keepalive off", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 0, 0, 0); }, 1},
        {"finish a connected handle", [](auto h) { return VQ6120Ex_FinishOpen(h, -5); }, 1},
        {"open with no time", [](auto) { return VQ6120Ex_Open(TestPeer::loopback(), 1, 0) == nullptr; }, 1},
        {"open with negative time", [](auto) { return VQ6120Ex_Open(TestPeer::loopback(), 1, -1) == nullptr; }, 1},
    };
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    for (const Refusal &c : cases) {
        bool before = false, after = false;
        ASSERT_TRUE(test::sock::keepalive(VQ6120Ex_GetSocket(h), before));
        EXPECT_EQ(c.call(h), c.result) << c.what;
        ASSERT_TRUE(test::sock::keepalive(VQ6120Ex_GetSocket(h), after));
        if (c.result == 0) {
            EXPECT_EQ(after, before) << c.what;
        }
        ASSERT_EQ(SendHostAlive(h), 1);
        EXPECT_EQ(peer.next(kAlive.size()), kAlive) << c.what;
    }
    ExitVQ6120(h);
}

// The socket keeps alive exactly as asked, at the smallest values accepted
// as at the largest, and stops when asked with idle 0.
TEST(Extension, KeepaliveReachesTheSocketAsAsked) {
    const struct {
        int idle, interval, count;
    } cases[] = {{1, 1, 1}, {0, 0, 0}, {32767, 32767, 127}, {7, 2, 4}};
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    for (const auto &c : cases) {
        SCOPED_TRACE(c.idle);
        ASSERT_EQ(VQ6120Ex_SetKeepAlive(h, c.idle, c.interval, c.count), 1);
        bool on = c.idle == 0;
        ASSERT_TRUE(test::sock::keepalive(VQ6120Ex_GetSocket(h), on));
        EXPECT_EQ(on, c.idle != 0);
        int idle = 0, interval = 0, count = 0;
        if (on && test::sock::keepalive_timing(VQ6120Ex_GetSocket(h), idle, interval, count)) {
            EXPECT_EQ(idle, c.idle);
            EXPECT_EQ(interval, c.interval);
            EXPECT_EQ(count, c.count);
        }
    }
    ExitVQ6120(h);
}

// A terminal that reset the connection: a batch's send fails and EndBatch
// says so; in the queued mode the command itself is refused.
TEST(Extension, SendsToAResetTerminalReportFailure) {
    struct Case {
        std::string what;
        std::function<std::int32_t(VQ6120_HANDLE)> send;
    };
    const std::vector<Case> cases = {
        {"batch", [](auto h) {
             EXPECT_EQ(VQ6120Ex_BeginBatch(h), 1);
             EXPECT_EQ(ClearGraphicScreen(h), 1);
             return VQ6120Ex_EndBatch(h);
         }},
        {"queued", [](auto h) {
             EXPECT_EQ(VQ6120Ex_SetSendQueue(h, VQ6120_SEND_QUEUE_DEFAULT), 1);
             return ClearGraphicScreen(h);
         }},
    };
    for (const Case &c : cases) {
        TestPeer peer;
        VQ6120_HANDLE h = peer.connect();
        peer.reset();
        ASSERT_TRUE(test::sock::wait_readable(VQ6120Ex_GetSocket(h), 5000)) << c.what;
        EXPECT_EQ(c.send(h), 0) << c.what;
        EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_CLOSED) << c.what;
        ExitVQ6120(h);
    }
}

TEST(Extension, SocketIsTheConnectionsOwn) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect(+[](std::uint32_t a, std::uint16_t p) { return VQ6120Ex_Open(a, p, 5000); });
    ASSERT_NE(h, nullptr);
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    ASSERT_TRUE(test::sock::peer_address(VQ6120Ex_GetSocket(h), address, port));
    EXPECT_EQ(address, TestPeer::loopback());
    EXPECT_EQ(port, peer.port());
    bool nodelay = false;
    ASSERT_TRUE(test::sock::nodelay(VQ6120Ex_GetSocket(h), nodelay));
    EXPECT_TRUE(nodelay);
    ExitVQ6120(h);
}

// errno says why, on Windows too: a host tells a refused terminal from an
// unreachable one.
TEST(Extension, RefusedConnectsFail) {
    const std::uint16_t port = closed_port();
    errno = 0;
    EXPECT_EQ(VQ6120Ex_Open(TestPeer::loopback(), port, 60000), nullptr);
    EXPECT_EQ(errno, ECONNREFUSED);
    // Started without blocking, the refusal arrives through FinishOpen; the
    // handle then reads as closed until it is closed.
    VQ6120_HANDLE h = VQ6120Ex_StartOpen(TestPeer::loopback(), port);
    if (h != nullptr) {
        std::int32_t done = -1;
        for (int i = 0; i < 100 && done == -1; ++i) {
            done = VQ6120Ex_FinishOpen(h, 100);
        }
        EXPECT_EQ(done, 0);
        EXPECT_EQ(errno, ECONNREFUSED);
        EXPECT_EQ(VQ6120Ex_FinishOpen(h, 0), 0);
        std::int32_t length = 0;
        EXPECT_EQ(GetDataFromEthernet(h, nullptr, &length, 0), VQ6120_RECV_CLOSED);
        EXPECT_EQ(GetConnectStatus(h, 1), 0);
        EXPECT_EQ(ClearGraphicScreen(h), 0);
        ExitVQ6120(h);
    }
}

TEST(Extension, NotYetConnectedDeliversNothing) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect(VQ6120Ex_StartOpen);
    ASSERT_NE(h, nullptr);
    peer.send(test::frame(0x40, 0x37, 0, {5}));
    std::uint8_t payload[16];
    std::int32_t length = sizeof payload;
    EXPECT_EQ(GetDataFromEthernet(h, payload, &length, 1), VQ6120_RECV_NOTHING);
    EXPECT_EQ(GetConnectStatus(h, 1), 0);
    ASSERT_EQ(VQ6120Ex_FinishOpen(h, 5000), 1);
    length = sizeof payload;
    EXPECT_EQ(GetDataFromEthernet(h, payload, &length, 1), VQ6120_RECV_FRAME_37);
    ExitVQ6120(h);
}

// The probe inside a batch: what was collected, then the request, and the
// frames around the reply stay buffered for GetDataFromEthernet.
TEST(Extension, ProbeInsideABatchSendsTheBatchFirst) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
    ASSERT_EQ(ClearGraphicScreen(h), 1);
    const Bytes di = test::frame(0x40, 0x0A, 0, {1});
    peer.send(test::frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0', 0}) + di);
    EXPECT_EQ(GetConnectStatus(h, 5), 1);
    EXPECT_EQ(peer.next(kClear.size() + kModelRequest.size()), kClear + kModelRequest);
    EXPECT_EQ(VQ6120Ex_BufferedBytes(h), static_cast<std::int32_t>(di.size()));
    ASSERT_EQ(SendHostAlive(h), 1);  // still batching
    EXPECT_TRUE(peer.take_all(std::chrono::milliseconds(20)).empty());
    EXPECT_EQ(VQ6120Ex_EndBatch(h), 1);
    EXPECT_EQ(peer.next(kAlive.size()), kAlive);
    std::uint8_t payload[16];
    std::int32_t length = sizeof payload;
    EXPECT_EQ(GetDataFromEthernet(h, payload, &length, 0), VQ6120_RECV_DI_STATUS);
    EXPECT_EQ(VQ6120Ex_BufferedBytes(h), 0);
    ExitVQ6120(h);
}

// Closing in the middle of a batch loses nothing; a batch larger than the
// send threshold arrives whole and in order.
TEST(Extension, LargeAndUnfinishedBatchesArriveWhole) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
    Bytes expected;
    Bytes data(VQ6120_MAX_PAYLOAD);
    for (int i = 0; i < 40; ++i) {  // about 2.6 MB
        for (auto &b : data) {
            b = static_cast<std::uint8_t>(i);
        }
        ASSERT_EQ(SendCOMData(h, data.data(), static_cast<std::int32_t>(data.size()), 2), 1);
        expected = expected + test::frame(0x61, 0x00, 0, data);
    }
    ASSERT_EQ(ClearGraphicScreen(h), 1);
    ExitVQ6120(h);
    EXPECT_EQ(peer.next(expected.size() + kClear.size()), expected + kClear);
}

}  // namespace
}  // namespace vq6120
