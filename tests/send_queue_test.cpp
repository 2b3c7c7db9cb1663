// The queued send mode's rules as functions over bytes and times: what the
// limit admits, the memory it bounds, the batch held at the tail, and the
// stall rule to the nanosecond with times the test chooses.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "transport/send_queue.hpp"

namespace vq6120 {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = net::Clock;

Bytes run(std::size_t n, std::uint8_t first) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(first + i);
    }
    return b;
}

struct StallCase {
    std::string what;
    std::size_t held;      // bytes in the queue
    std::size_t system;    // bytes the system reports at the start
    std::function<void(SendQueue &)> meanwhile;
    Clock::duration after;
    bool stalled;
};

TEST(SendQueueRules, TheStallBoundCountsFromTheLastMovementWhileBytesWait) {
    constexpr auto kBound = std::chrono::duration_cast<Clock::duration>(kSendStall);
    const auto nothing = [](SendQueue &) {};
    const std::vector<StallCase> cases = {
        {"queued bytes, 1 ns short of the bound", 100, 0, nothing, kBound - Clock::duration{1}, false},
        {"queued bytes, at the bound", 100, 0, nothing, kBound, true},
        {"only the system's buffer holds bytes, at the bound", 0, 5000, nothing, kBound, true},
        {"nothing waits, long after", 0, 0, nothing, kBound * 10, false},
        {"the socket took some just before", 100, 0, [](SendQueue &q) { handed_over(q, 1); }, kBound, false},
        {"a frame went past the queue", 0, 5000, [](SendQueue &q) { sent_past(q, 10); }, kBound, false},
        {"the system's buffer shrank", 0, 5000, [](SendQueue &q) { measured(q, 4999); }, kBound, false},
        {"the system's buffer stayed", 0, 5000, [](SendQueue &q) { measured(q, 5000); }, kBound, true},
        {"the terminal took everything", 0, 5000, [](SendQueue &q) { measured(q, 0); }, kBound * 3, false},
    };
    const Clock::time_point start{std::chrono::hours(1)};
    for (const StallCase &c : cases) {
        SendQueue q;
        q.limit = 1 << 20;
        ASSERT_TRUE(push(q, run(c.held, 0))) << c.what;
        q.system = c.system;
        q.progress = start;
        c.meanwhile(q);
        if (c.stalled) {
            EXPECT_TRUE(stall_due(q, start + c.after)) << c.what;  // the cheap look never misses one
        }
        const bool moved = q.moved;
        EXPECT_EQ(stall_judged(q, start + c.after), c.stalled) << c.what;
        // A judgement that found movement starts the bound afresh.
        if (moved && waiting(q) != 0) {
            EXPECT_FALSE(stall_judged(q, start + c.after + kBound - Clock::duration{1})) << c.what;
            EXPECT_TRUE(stall_judged(q, start + c.after + kBound)) << c.what;
        }
    }
}

// Frames in, parts out: the bytes leave in order, the memory never passes the
// limit, and an open batch is neither sent nor kept when dropped.
TEST(SendQueueRules, BytesLeaveInOrderAndTheMemoryStaysWithinTheLimit) {
    constexpr std::size_t kLimit = 65536;
    SendQueue q;
    q.limit = kLimit;
    Bytes in, out;
    std::uint8_t seed = 0;
    for (int round = 0; round < 200; ++round) {
        const std::size_t size = 1 + (static_cast<std::size_t>(round) * 7919) % 20000;
        const Bytes frame = run(size, seed++);
        if (admits(q, size)) {
            ASSERT_TRUE(push(q, frame));
            in.insert(in.end(), frame.begin(), frame.end());
        } else {
            EXPECT_FALSE(reserve(q, kLimit + 1 - q.size));
        }
        const auto ready = sendable(q);
        const std::size_t take = ready.size() / (1 + round % 3);
        out.insert(out.end(), ready.begin(), ready.begin() + static_cast<std::ptrdiff_t>(take));
        handed_over(q, take);
        measured(q, 0);
        EXPECT_LE(q.capacity, kLimit);
    }
    // A batch at the tail waits for its end; dropped, it leaves no trace.
    const std::size_t before = sendable(q).size();
    const Bytes batch = run(100, 7);
    ASSERT_TRUE(push(q, batch));
    q.batch = batch.size();
    EXPECT_EQ(sendable(q).size(), before);
    end_batch(q, false);
    EXPECT_EQ(q.size, before);
    // Kept, it follows what was there.
    ASSERT_TRUE(push(q, batch));
    q.batch = batch.size();
    end_batch(q, true);
    in.insert(in.end(), batch.begin(), batch.end());
    const auto rest = sendable(q);
    out.insert(out.end(), rest.begin(), rest.end());
    EXPECT_EQ(out, in);
}

}  // namespace
}  // namespace vq6120
