// The queued send mode over real loopback connections: commands that never
// wait, refused whole when the terminal is behind, arriving whole and in
// order once it reads again, and the stall rule without a blocking call.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::TestPeer;
using test::operator+;
using Steady = std::chrono::steady_clock;

constexpr int kLimit = VQ6120_SEND_QUEUE_MIN;
// The peer's receive buffer: small, so what waits is mostly on our side.
constexpr int kPeerBuffer = 16384;

// A serial frame of `size` payload bytes that differs from its neighbours,
// so a cut or reordered frame shows in the bytes the peer receives.
struct Serial {
    Bytes data;
    std::uint8_t port;
    Bytes wire() const { return test::frame(port == 1 ? 0x60 : 0x61, 0x00, 0, data); }
    std::int32_t send(VQ6120_HANDLE h) const {
        return SendCOMData(h, data.data(), static_cast<std::int32_t>(data.size()), port);
    }
};

Serial serial(std::size_t size, int seed) {
    Serial s{Bytes(size), static_cast<std::uint8_t>(1 + seed % 2)};
    for (std::size_t i = 0; i < size; ++i) {
        s.data[i] = static_cast<std::uint8_t>(seed * 31 + i);
    }
    return s;
}

// Flushes until nothing waits for the terminal (or the connection is over);
// the result of the last Flush.
std::int32_t drain(VQ6120_HANDLE h) {
    const auto give_up = Steady::now() + std::chrono::seconds(20);
    std::int32_t held = 0;
    while (Steady::now() < give_up) {
        held = VQ6120Ex_Flush(h);
        if (held < 0 || (held == 0 && VQ6120Ex_WaitingBytes(h) == 0)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return held;
}

struct Row {
    std::string what;
    std::function<std::int32_t(VQ6120_HANDLE)> call;
    std::int32_t result;
    std::int32_t reason;
};

// A terminal that stops reading: commands are taken until what waits (the
// queue and the system's buffer) reaches the limit, then refused whole with
// the reason; every refusal names its own cause. Once it reads again, it
// receives exactly the accepted frames, whole and in order.
TEST(QueuedSend, BehindTheLimitCommandsAreRefusedWholeAndTheRestArrivesInOrder) {
    TestPeer peer(kPeerBuffer);
    VQ6120_HANDLE h = peer.connect();
    // A small system buffer, so that frames also wait in the library's queue.
    ASSERT_TRUE(test::sock::set_send_buffer(VQ6120Ex_GetSocket(h), 16384));
    ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kLimit), 1);
    EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_NONE);
    peer.stop_reading();
    Bytes expected;
    std::size_t accepted = 0;
    int full = 0;
    for (int i = 0; full < 20 && i < 2000; ++i) {
        const Serial s = serial(1 + static_cast<std::size_t>(i) * 7919 % 9000, i);
        if (s.send(h) == 1) {
            expected = expected + s.wire();
            accepted += s.wire().size();
            EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_NONE);
        } else {
            ++full;
            EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_QUEUE_FULL) << i;
        }
        const std::int32_t held = VQ6120Ex_Flush(h);
        ASSERT_GE(held, 0);
        EXPECT_GE(VQ6120Ex_WaitingBytes(h), held);
        EXPECT_LE(VQ6120Ex_WaitingBytes(h), kLimit);
    }
    ASSERT_EQ(full, 20);
    // What the terminal holds unread besides: the limit is reached after the
    // limit and the terminal's own buffer, not after megabytes of system buffer.
    EXPECT_LT(accepted, std::size_t{kLimit} + 512 * 1024);

    const Serial big = serial(VQ6120_MAX_PAYLOAD, 99);
    const std::vector<Row> rows = {
        {"full", [&](auto h) { return big.send(h); }, 0, VQ6120_REFUSED_QUEUE_FULL},
        {"a bad argument after a full queue", [](auto h) { return DrawPixel(h, 240, 0); }, 0,
         VQ6120_REFUSED_ARGUMENT},
        {"full again", [&](auto h) { return big.send(h); }, 0, VQ6120_REFUSED_QUEUE_FULL},
        {"a mode flag out of range", [](auto h) { return DrawCircle(h, 1, 1, 1, 2); }, 0, VQ6120_REFUSED_ARGUMENT},
        {"a raw frame without its data", [](auto h) { return SendData(h, 0x40, 0, 0, nullptr, 1); }, 0,
         VQ6120_REFUSED_ARGUMENT},
        {"leaving the mode while bytes wait", [](auto h) { return VQ6120Ex_SetSendQueue(h, 0); }, 0,
         VQ6120_REFUSED_STATE},
        {"a limit below the minimum", [](auto h) { return VQ6120Ex_SetSendQueue(h, kLimit - 1); }, 0,
         VQ6120_REFUSED_ARGUMENT},
        {"a negative limit", [](auto h) { return VQ6120Ex_SetSendQueue(h, -1); }, 0, VQ6120_REFUSED_ARGUMENT},
        {"ending no batch", [](auto h) { return VQ6120Ex_EndBatch(h); }, 0, VQ6120_REFUSED_STATE},
        {"an accepted call", [](auto h) { return VQ6120Ex_SetKeepAlive(h, 0, 0, 0); }, 1, VQ6120_REFUSED_NONE},
        {"a batch that cannot fit is refused whole",
         [&](auto h) {
             VQ6120Ex_BeginBatch(h);
             EXPECT_EQ(big.send(h), 0);
             EXPECT_EQ(ClearGraphicScreen(h), 0);  // would fit alone: the batch is refused whole
             EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_QUEUE_FULL);
             return VQ6120Ex_EndBatch(h);
         },
         0, VQ6120_REFUSED_QUEUE_FULL},
        {"a probe inside a batch", [](auto h) {
             VQ6120Ex_BeginBatch(h);
             const std::int32_t r = GetConnectStatus(h, 1);
             EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_STATE);
             VQ6120Ex_EndBatch(h);  // empty: queued
             return r;
         }, 0, VQ6120_REFUSED_NONE},
    };
    for (const Row &r : rows) {
        EXPECT_EQ(r.call(h), r.result) << r.what;
        EXPECT_EQ(VQ6120Ex_LastRefusal(h), r.reason) << r.what;
    }

    peer.resume_reading();
    EXPECT_EQ(drain(h), 0);
    // After the backlog, a batch that fits goes whole.
    ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
    ASSERT_EQ(ClearGraphicScreen(h), 1);
    ASSERT_EQ(DrawLine(h, 1, 2, 3, 4), 1);
    ASSERT_EQ(VQ6120Ex_EndBatch(h), 1);
    EXPECT_EQ(drain(h), 0);
    expected = expected + test::frame(0x40, 0x40) + test::frame(0x40, 0x47, 0, {0, 1, 0, 2, 0, 3, 0, 4});
    EXPECT_TRUE(peer.next(expected.size()) == expected);
    EXPECT_TRUE(peer.take_all().empty());
    // Back to sending before each command returns.
    ASSERT_EQ(VQ6120Ex_SetSendQueue(h, 0), 1);
    ASSERT_EQ(ClearText(h), 1);
    EXPECT_EQ(peer.next(8), test::frame(0x40, 0x60));
    ExitVQ6120(h);
}

// A batch that exactly fills the limit is taken, one byte more is not.
// While a batch is open nothing of it can go: Flush counts none of it, the
// waiting bytes all of it.
TEST(QueuedSend, ABatchExactlyAtTheLimitIsTakenAndFlushCountsItOnlyOnceEnded) {
    constexpr int kFill = 100000;
    const Serial first = serial(VQ6120_MAX_PAYLOAD, 1);
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kFill), 1);
    ASSERT_EQ(VQ6120Ex_WaitingBytes(h), 0);
    const auto header = test::frame(0x60, 0x00).size();
    Serial rest;
    for (const std::size_t over : {1, 0}) {
        SCOPED_TRACE(over);
        rest = serial(kFill - first.wire().size() - header + over, 2);
        ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
        ASSERT_EQ(first.send(h), 1);
        EXPECT_EQ(rest.send(h), over == 0 ? 1 : 0);
        EXPECT_EQ(VQ6120Ex_LastRefusal(h), over == 0 ? VQ6120_REFUSED_NONE : VQ6120_REFUSED_QUEUE_FULL);
        EXPECT_EQ(VQ6120Ex_WaitingBytes(h), over == 0 ? kFill : static_cast<int>(first.wire().size()));
        EXPECT_EQ(VQ6120Ex_Flush(h), 0);
        EXPECT_EQ(VQ6120Ex_EndBatch(h), over == 0 ? 1 : 0);
    }
    EXPECT_EQ(drain(h), 0);
    EXPECT_TRUE(peer.next(kFill) == first.wire() + rest.wire());
    ExitVQ6120(h);
}

struct StallRow {
    std::string what;
    std::function<void(TestPeer &, VQ6120_HANDLE)> run;
};

// Feeds a terminal in the mode as a loop would, every 20 ms for `span`:
// a 1000-byte frame when it fits, then a flush. Stops early when the
// connection is over; returns the frames accepted, in order.
Bytes feed(VQ6120_HANDLE h, std::chrono::steady_clock::duration span, bool &ended) {
    Bytes accepted;
    ended = false;
    const auto end = Steady::now() + span;
    for (int i = 0; Steady::now() < end; ++i) {
        const Serial s = serial(1000, i);
        if (s.send(h) == 1) {
            accepted = accepted + s.wire();
        }
        EXPECT_LE(VQ6120Ex_WaitingBytes(h), kLimit);
        if (VQ6120Ex_Flush(h) < 0) {
            ended = true;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return accepted;
}

// Commands alone, never a Flush, to a terminal that never reads: each is
// refused as full while the connection lives (an unchanged limit is accepted
// only then), and the one that finds the bound run out is refused as stalled.
void command_until_stalled(TestPeer &peer, VQ6120_HANDLE h) {
    ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kLimit), 1);
    peer.stop_reading();
    const Serial s = serial(1000, 3);
    const auto give_up = Steady::now() + std::chrono::seconds(VQ6120_SEND_STALL_SECONDS * 4);
    std::int32_t reason = VQ6120_REFUSED_NONE;
    while (Steady::now() < give_up) {
        if (s.send(h) == 1) continue;
        reason = VQ6120Ex_LastRefusal(h);
        if (reason != VQ6120_REFUSED_QUEUE_FULL) break;
        ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kLimit), 1) << "refused as full by a connection that is over";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(reason, VQ6120_REFUSED_STALLED);
}

// Each row outlasts the stall bound, so they run side by side.
TEST(QueuedSend, TheStallBoundEndsAPeerThatNeverReadsAndNeverASlowOne) {
    const auto bound = std::chrono::seconds(VQ6120_SEND_STALL_SECONDS);
    const std::vector<StallRow> rows = {
        {"queued, never reads",
         [&](TestPeer &peer, VQ6120_HANDLE h) {
             ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kLimit), 1);
             peer.stop_reading();
             bool ended = false;
             const Bytes accepted = feed(h, bound * 4, ended);
             ASSERT_TRUE(ended);
             // Noticed once the limit and the terminal's own buffer were
             // full, not after megabytes in the system's send buffer.
             EXPECT_LT(accepted.size(), std::size_t{kLimit} + 512 * 1024);
             std::int32_t length = 0;
             EXPECT_EQ(GetDataFromEthernet(h, nullptr, &length, 0), VQ6120_RECV_CLOSED);
             EXPECT_EQ(ClearGraphicScreen(h), 0);
             EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_STALLED);
             EXPECT_EQ(DrawPixel(h, 240, 0), 0);
             EXPECT_EQ(VQ6120Ex_Flush(h), -1);
             EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_STALLED);
         }},
        {"queued, reads 8 KiB/s",
         [&](TestPeer &peer, VQ6120_HANDLE h) {
             ASSERT_EQ(VQ6120Ex_SetSendQueue(h, kLimit), 1);
             peer.resume_reading(8192);
             bool ended = false;
             const Bytes accepted = feed(h, bound + std::chrono::seconds(2), ended);
             EXPECT_FALSE(ended);
             peer.resume_reading();
             EXPECT_EQ(drain(h), 0);
             EXPECT_TRUE(peer.next(accepted.size(), std::chrono::seconds(20)) == accepted);
         }},
        {"commands alone, the bytes in the system's buffer", command_until_stalled},
        {"commands alone, the bytes in the queue",
         [](TestPeer &peer, VQ6120_HANDLE h) {
             ASSERT_TRUE(test::sock::set_send_buffer(VQ6120Ex_GetSocket(h), 4096));
             command_until_stalled(peer, h);
         }},
        {"a blocking batch, never read",
         [&](TestPeer &peer, VQ6120_HANDLE h) {
             // Small buffers on both sides, so the batch's one send (below
             // the size at which a batch sends early) cannot all go.
             ASSERT_TRUE(test::sock::set_send_buffer(VQ6120Ex_GetSocket(h), 16384));
             peer.stop_reading();
             ASSERT_EQ(VQ6120Ex_BeginBatch(h), 1);
             const Serial s = serial(VQ6120_MAX_PAYLOAD, 1);
             for (int i = 0; i < 10; ++i) {
                 ASSERT_EQ(s.send(h), 1);
             }
             EXPECT_EQ(VQ6120Ex_EndBatch(h), 0);
             EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_STALLED);
             std::int32_t length = 0;
             EXPECT_EQ(GetDataFromEthernet(h, nullptr, &length, 0), VQ6120_RECV_CLOSED);
         }},
    };
    std::vector<std::thread> threads;
    for (const StallRow &row : rows) {
        threads.emplace_back([&row] {
            SCOPED_TRACE(row.what);
            TestPeer peer(kPeerBuffer);
            VQ6120_HANDLE h = peer.connect();
            row.run(peer, h);
            ExitVQ6120(h);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
}

}  // namespace
}  // namespace vq6120

namespace vq6120 {
namespace {

// How a host loop that follows the header ended: the terminal found stalled,
// or nothing left waiting for it (so its wait needs no end).
enum class LoopEnd { Stalled, NothingWaits, GaveUp };

// The host the header describes, once its queue drained: no write interest
// (VQ6120Ex_Flush returned 0), a wait for readability that lasts at most
// VQ6120Ex_NextCheck, then a flush. Counts its waits.
LoopEnd host_loop(VQ6120_HANDLE h, int &waits) {
    const auto socket = VQ6120Ex_GetSocket(h);
    waits = 0;
    while (waits < 10) {
        const std::int32_t queued = VQ6120Ex_Flush(h);
        if (queued < 0) {
            return VQ6120Ex_LastRefusal(h) == VQ6120_REFUSED_STALLED ? LoopEnd::Stalled : LoopEnd::GaveUp;
        }
        const std::int32_t next = VQ6120Ex_NextCheck(h);
        EXPECT_LE(next, VQ6120_SEND_STALL_SECONDS * 1000);
        if (next < 0) {
            // The wait would have no end: right only when nothing waits.
            return VQ6120Ex_WaitingBytes(h) == 0 ? LoopEnd::NothingWaits : LoopEnd::GaveUp;
        }
        // Nothing more is drawn, so the queue stays empty and the wait is
        // for readability alone; the terminal sends nothing, so only its
        // timeout ends it.
        EXPECT_EQ(queued, 0);
        test::sock::wait_readable(socket, next);
        ++waits;
    }
    return LoopEnd::GaveUp;
}

struct HostRow {
    std::string what;
    bool frozen;
    int peer_buffer;  // 0: the system's default
    int limit;
    LoopEnd end;
    int most_waits;
};

// The bytes of a redraw sit in the system's buffer once VQ6120Ex_Flush
// returned 0, where no readiness shows them: a host with no write interest
// still learns its frozen terminal stalled, within one bound, and waits
// without end for a terminal that took everything.
TEST(QueuedSend, AHostWithoutWriteInterestLearnsWhenToJudgeTheStallRule) {
    const std::vector<HostRow> rows = {
        // A frozen terminal's system may still take a sliver (16 KiB seen
        // once on loopback) before it takes nothing: a limit whose sixteenth
        // is above that, and room for one more wait.
#if !defined(_WIN32)
        // (Winsock does not say how much of its buffer is unsent: there the
        // bytes leave the library's count once the socket took them, and a
        // frozen terminal is found by the queue filling instead.)
        {"frozen terminal", true, kPeerBuffer, 1 << 19, LoopEnd::Stalled, 2},
#endif
        {"reading terminal", false, 0, kLimit, LoopEnd::NothingWaits, 1},
    };
    std::vector<std::thread> threads;
    for (const HostRow &row : rows) {
        threads.emplace_back([&row] {
            SCOPED_TRACE(row.what);
            TestPeer peer(row.peer_buffer);
            VQ6120_HANDLE h = peer.connect();
            // Room on our side for the whole redraw, so that the queue drains
            // into the system's buffer at once.
            ASSERT_TRUE(test::sock::set_send_buffer(VQ6120Ex_GetSocket(h), 1 << 20));
            ASSERT_EQ(VQ6120Ex_SetSendQueue(h, row.limit), 1);
            EXPECT_EQ(VQ6120Ex_NextCheck(h), -1);
            if (row.frozen) {
                peer.stop_reading();
            }
            Bytes sent;
            for (int i = 0; i < 48; ++i) {
                const Serial s = serial(1000, i);
                ASSERT_EQ(s.send(h), 1);
                sent = sent + s.wire();
            }
            ASSERT_EQ(VQ6120Ex_Flush(h), 0);
            if (row.frozen) {
                ASSERT_GT(VQ6120Ex_WaitingBytes(h), 0);
            }
            int waits = 0;
            EXPECT_EQ(host_loop(h, waits), row.end);
            EXPECT_LE(waits, row.most_waits);
            if (!row.frozen) {
                EXPECT_TRUE(peer.next(sent.size()) == sent);
            }
            ExitVQ6120(h);
        });
    }
    for (auto &t : threads) {
        t.join();
    }
}

}  // namespace
}  // namespace vq6120
