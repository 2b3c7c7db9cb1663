// GetDataFromEthernet through real loopback sockets: reassembly across reads,
// bursts, closes and resets, and the argument checks.
#include <gtest/gtest.h>

#include <chrono>

#include "test_peer.hpp"
#include "transport/connection.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::operator+;
using test::TestPeer;

const Bytes kDi = {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x31, 0x32};

struct Poll {
    std::int32_t result;
    Bytes payload;
    std::int32_t length;
};

struct Receiving : ::testing::Test {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ~Receiving() override { ExitVQ6120(h); }

    Poll poll(std::int32_t capacity = 64, std::uint8_t wait = 1) {
        Bytes out(capacity > 0 ? static_cast<std::size_t>(capacity) : 0);
        std::int32_t len = capacity;
        const std::int32_t r = GetDataFromEthernet(h, out.data(), &len, wait);
        out.resize(len > 0 && len <= capacity ? static_cast<std::size_t>(len) : 0);
        return {r, out, len};
    }
    // Polls until `want` bytes are buffered (the peer's bytes have been read).
    void read_until_buffered(std::size_t want) {
        for (int i = 0; i < 200 && h->received.size() < want; ++i) {
            poll();
        }
        ASSERT_EQ(h->received.size(), want);
    }
    // Waits until the peer's bytes are readable on the host's socket, without
    // reading them: the next call then takes a whole small write in one read.
    void await_bytes() {
        ASSERT_TRUE(test::sock::wait_readable(h->socket, 2000));
    }
    // Polls until a result other than 1 comes, or gives up after ~2 s.
    Poll next_delivery(std::int32_t capacity = 64) {
        for (int i = 0; i < 200; ++i) {
            Poll p = poll(capacity);
            if (p.result != 1) {
                return p;
            }
        }
        return {1, {}, 0};
    }
};

TEST_F(Receiving, NothingThereGivesOneAndLengthZero) {
    for (std::uint8_t wait : {0, 1, 2}) {
        const Poll p = poll(64, wait);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.length, 0);
    }
}

TEST_F(Receiving, DigitalInputsRoundTrip) {
    peer.send(kDi);
    const Poll p = next_delivery();
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(p.payload, (Bytes{0x31, 0x32}));
    std::uint8_t first = 9, second = 9;
    EXPECT_EQ(ParseDIStatus(1, p.payload.data(), p.length, &first, &second), 1);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 2);
}

TEST_F(Receiving, FrameSplitAtEveryBytePosition) {
    const Bytes stream = kDi + frame(0x40, 0x37, 0, {0x05});
    for (std::size_t cut = 1; cut < kDi.size(); ++cut) {
        peer.send(std::span(stream).first(cut));
        read_until_buffered(cut);
        // A partial frame leaves the host's length untouched.
        std::uint8_t out[8];
        std::int32_t len = 8;
        EXPECT_EQ(GetDataFromEthernet(h, out, &len, 0), 1);
        EXPECT_EQ(len, 8);
        peer.send(std::span(stream).subspan(cut));
        EXPECT_EQ(next_delivery().result, 4) << "cut at " << cut;
        const Poll key = next_delivery();
        EXPECT_EQ(key.result, 3);
        EXPECT_EQ(ParseKeypadMessage(1, key.payload.data(), key.length), 5);
        EXPECT_EQ(h->received.size(), 0u);
    }
}

TEST_F(Receiving, BurstOfHundredsDrainsInOrder) {
    Bytes burst;
    const int n = 500;
    for (int i = 0; i < n; ++i) {
        burst = burst + frame(0x61, 0x00, 0, {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)});
    }
    peer.send(burst);
    const Poll first = next_delivery();
    ASSERT_EQ(first.result, 7);
    for (int i = 1; i < n; ++i) {
        const Poll p = next_delivery();
        ASSERT_EQ(p.result, 7) << i;
        ASSERT_EQ(p.payload, (Bytes{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)}));
    }
    EXPECT_EQ(poll(64, 0).result, 1);
}

TEST_F(Receiving, LargestFrameFillsTheBufferExactly) {
    Bytes payload(kMaxReceiveFrameSize - 8);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<std::uint8_t>(i % 251);
    }
    peer.send(frame(0x60, 0x00, 0, payload) + kDi);
    const Poll big = next_delivery(static_cast<std::int32_t>(kMaxReceiveFrameSize));
    EXPECT_EQ(big.result, 6);
    EXPECT_EQ(big.payload, payload);
    EXPECT_EQ(next_delivery().result, 4);
}

TEST_F(Receiving, ResultCarriesOverWithinOneCall) {
    const Bytes f11 = frame(0x40, 0x11, 0, {0x01});
    const Bytes unknown_command = frame(0x40, 0x55);
    const Bytes unknown_channel = frame(0x23, 0x00);
    struct Case {
        const char *what;
        Bytes stream;
        std::int32_t result;
    };
    const Case cases[] = {
        {"0x11 alone", f11, 2},
        {"0x11 then unknown commands", f11 + unknown_command + unknown_command, 2},
        {"unknown channel", unknown_channel, 0},
        {"unknown channel then unknown command", unknown_channel + unknown_command, 0},
        {"unknown command alone", unknown_command, 1},
        {"serial 1 with subcode 1", frame(0x60, 0x00, 1, {0x41}), 1},
    };
    for (const Case &c : cases) {
        peer.send(c.stream);
        await_bytes();
        // All of the case arrives in one read and is walked in one call.
        const Poll p = poll(64, 0);
        EXPECT_EQ(p.result, c.result) << c.what;
        EXPECT_EQ(p.length, 0) << c.what;
        EXPECT_EQ(h->received.size(), 0u) << c.what;
    }
}

TEST_F(Receiving, CapacityCutsThePayload) {
    peer.send(kDi + kDi + kDi);
    Poll p = next_delivery(1);
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(p.payload, (Bytes{0x31}));
    p = next_delivery(0);
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(p.length, 0);
    p = next_delivery(-3);
    EXPECT_EQ(p.result, 4);
    EXPECT_EQ(p.length, 0);
}

TEST_F(Receiving, OutOfStepStreamIsDroppedAndLaterTrafficWorks) {
    for (const Bytes &bad : {Bytes{0x04, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00} + kDi,
                             Bytes{0xFF, 0xFF, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}}) {
        peer.send(bad);
        await_bytes();
        const Poll dropped = poll(64, 0);
        EXPECT_EQ(dropped.result, 1);
        EXPECT_EQ(dropped.length, 0);
        EXPECT_EQ(h->received.size(), 0u);
        peer.send(kDi);
        EXPECT_EQ(next_delivery().result, 4);
    }
}

TEST_F(Receiving, FramesSentBeforeACloseAreDeliveredFirst) {
    peer.send(kDi + frame(0x40, 0x37, 0, {0x07}) + Bytes{0x0A, 0x00, 0x40});
    peer.close();
    EXPECT_EQ(next_delivery().result, 4);
    EXPECT_EQ(next_delivery().result, 3);
    const Poll closed = next_delivery();
    EXPECT_EQ(closed.result, 0);
    EXPECT_EQ(closed.length, 0);
    EXPECT_EQ(poll().result, 0);
}

TEST_F(Receiving, ResetIsReportedAsClosed) {
    peer.reset();
    const Poll p = next_delivery();
    EXPECT_EQ(p.result, 0);
    EXPECT_EQ(p.length, 0);
}

TEST_F(Receiving, NullArgumentsAreRefusedWithoutTouchingAnything) {
    std::int32_t len = 64;
    std::uint8_t out[64];
    EXPECT_EQ(GetDataFromEthernet(nullptr, out, &len, 1), 0);
    EXPECT_EQ(len, 0);
    EXPECT_EQ(GetDataFromEthernet(h, out, nullptr, 1), 0);
    // A null payload buffer takes nothing but still consumes the frame.
    peer.send(kDi);
    len = 64;
    std::int32_t r = 1;
    for (int i = 0; i < 200 && r == 1; ++i) {
        r = GetDataFromEthernet(h, nullptr, &len, 1);
    }
    EXPECT_EQ(r, 4);
    EXPECT_EQ(len, 0);
}

}  // namespace
}  // namespace vq6120
