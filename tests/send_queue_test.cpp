// The queued send mode's rules as functions over bytes and times: what the
// limit admits, the memory it bounds, the batch held at the tail, and the
// stall rule to the nanosecond and the byte with times the test chooses.
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

// The terminal reads when it takes a sixteenth of the limit within the
// bound, or all that waited when the bound began; bytes handed to the
// socket, and slivers below that, are not reading.
TEST(SendQueueRules, TheStallBoundCountsFromTheLastMovementWhileBytesWait) {
    constexpr auto kBound = std::chrono::duration_cast<Clock::duration>(kSendStall);
    constexpr std::size_t kLimit = 1 << 20;
    constexpr std::size_t kShare = kLimit / 16;
    constexpr std::size_t kDeep = 4 * kShare;  // in the system's buffer at the start
    const auto nothing = [](SendQueue &) {};
    const std::vector<StallCase> cases = {
        {"queued bytes, 1 ns short of the bound", 100, 0, nothing, kBound - Clock::duration{1}, false},
        {"queued bytes, at the bound", 100, 0, nothing, kBound, true},
        {"only the system's buffer holds bytes, at the bound", 0, 5000, nothing, kBound, true},
        {"nothing waits, long after", 0, 0, nothing, kBound * 10, false},
        {"the socket took the queue into the system's buffer", 100, 0, [](SendQueue &q) { handed_over(q, 100); },
         kBound, true},
        {"a frame went past the queue", 0, 5000, [](SendQueue &q) { sent_past(q, 10); }, kBound, true},
        {"the system's buffer shrank by one byte", 0, 5000, [](SendQueue &q) { measured(q, 4999); }, kBound, true},
        {"the system's buffer stayed", 0, 5000, [](SendQueue &q) { measured(q, 5000); }, kBound, true},
        {"the terminal took everything", 0, 5000, [](SendQueue &q) { measured(q, 0); }, kBound * 3, false},
        {"a sixteenth of the limit taken but one byte", 0, kDeep,
         [](SendQueue &q) { measured(q, kDeep - kShare + 1); }, kBound, true},
        {"exactly a sixteenth of the limit taken", 0, kDeep, [](SendQueue &q) { measured(q, kDeep - kShare); },
         kBound, false},
        {"slivers adding up to a sixteenth", 0, kDeep,
         [](SendQueue &q) {
             measured(q, kDeep - kShare / 2);
             sent_past(q, 1000);
             measured(q, kDeep - kShare + 1000);
         },
         kBound, false},
        {"all that waited at the start taken, more sent since", 0, 5000,
         [](SendQueue &q) {
             sent_past(q, 100);
             measured(q, 100);
         },
         kBound, false},
        {"all that waited at the start taken but one byte", 0, 5000,
         [](SendQueue &q) {
             sent_past(q, 100);
             measured(q, 101);
         },
         kBound, true},
        {"nothing waited when the bound began", 0, 5000, [](SendQueue &q) { q.stall.owed = 0; }, kBound * 3, false},
    };
    const Clock::time_point start{std::chrono::hours(1)};
    for (const StallCase &c : cases) {
        SendQueue q;
        q.limit = kLimit;
        ASSERT_TRUE(push(q, run(c.held, 0))) << c.what;
        q.system = c.system;
        // As a judgement at `start` that found the terminal reading leaves it.
        q.stall.restart(start, waiting(q));
        c.meanwhile(q);
        if (c.stalled) {
            EXPECT_TRUE(stall_due(q, start + c.after)) << c.what;  // the cheap look never misses one
            EXPECT_EQ(until_judgement(q, start + c.after), Clock::duration::zero()) << c.what;
        }
        const auto now = start + c.after;
        EXPECT_EQ(stall_judged(q, now), c.stalled) << c.what;
        // A judgement that found the terminal reading starts the bound
        // afresh: the next one is due exactly a bound later, and then needs
        // new reading.
        if (q.stall.since == now && waiting(q) != 0) {
            EXPECT_EQ(until_judgement(q, now), kBound) << c.what;
            EXPECT_FALSE(stall_judged(q, now + kBound - Clock::duration{1})) << c.what;
            EXPECT_EQ(until_judgement(q, now + kBound - Clock::duration{1}), Clock::duration{1}) << c.what;
            EXPECT_TRUE(stall_judged(q, now + kBound)) << c.what;
        }
        if (waiting(q) == 0) {
            EXPECT_LT(until_judgement(q, now), Clock::duration::zero()) << c.what;
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
