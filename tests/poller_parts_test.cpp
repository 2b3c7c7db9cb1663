// The Poller's parts on their own, each a table of cases at its edges: the
// progress rule for waiting bytes, the reconnect delays and when they start
// over, the liveness deadlines, and the deadline heap. No sockets: the parts
// take numbers and times.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "vq6120.hpp"

using namespace std::chrono_literals;
using vq6120::Clock;
using vq6120::detail::kNever;

namespace {

const Clock::time_point t0 = Clock::time_point{} + 24h;

// The library's stall rule (its edges: send_queue_test) as the Poller feeds
// it, through what waits alone: what waits going down is what the terminal
// took. Default limit 256 KiB: a sixteenth is 16 KiB.
TEST(PollerParts, TheTerminalReadsByTheLibrarysRuleSeenThroughWhatWaits) {
    constexpr std::int32_t limit = 16 * 16384;
    struct Case {
        const char *name;
        std::vector<std::int32_t> seen;  // what waits, one reading a millisecond
        bool read_last;                  // the last reading restarted the bound
    };
    const Case cases[] = {
        {"down by exactly a sixteenth", {100000, 100000 - 16384}, true},
        {"down by a byte less", {100000, 100000 - 16383}, false},
        {"slivers adding up to a sixteenth", {100000, 92000, 95000, 86616}, true},
        {"slivers short of a sixteenth", {100000, 95000, 90000, 85000, 84001}, false},
        {"bytes added since do not hide what was taken", {100000, 110000, 110000 - 16384}, true},
        {"all that waited when the bound began taken", {100, 300, 200}, true},
        {"nothing waits", {100000, 0}, true},
        {"the first bytes after none", {0, 50}, true},
        {"a negative reading is none", {100000, -1}, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vq6120::detail::SendProgress p(limit, 4000ms);
        p.start(t0);
        auto t = t0;
        for (const std::int32_t w : c.seen) {
            t += 1ms;
            p.observe(w, t);
        }
        const bool restarted = p.waiting() == 0 ? p.deadline() == kNever : p.deadline() == t + 4000ms;
        EXPECT_EQ(restarted, c.read_last);
    }
}

TEST(PollerParts, BehindFromExactlyTheHighWaterMark) {
    struct Case {
        std::int32_t high_water;
        std::int32_t waiting;
        bool behind;
    };
    constexpr std::int32_t limit = 65536;
    const Case cases[] = {
        {1000, 999, false}, {1000, 1000, true}, {1000, 1001, true},
        {0, limit / 2 - 1, false}, {0, limit / 2, true},  // 0: half the limit
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.high_water << " " << c.waiting);
        vq6120::detail::SendProgress p(limit, 1000ms);
        p.start(t0);
        p.observe(c.waiting, t0);
        EXPECT_EQ(p.behind(c.high_water), c.behind);
    }
}

TEST(PollerParts, ReconnectDelaysDoubleUpToTheMaximumWithinTheJitter) {
    vq6120::Backoff b;
    b.initial = 500ms;
    b.maximum = 30000ms;
    std::minstd_rand random(1);
    struct Case {
        unsigned failures;
        std::chrono::milliseconds expected;
    };
    const Case cases[] = {{0, 500ms}, {1, 1000ms}, {5, 16000ms}, {6, 30000ms}, {1000, 30000ms}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.failures);
        b.jitter = 0;
        EXPECT_EQ(vq6120::detail::Reconnects::delay(b, c.failures, random), c.expected);
        b.jitter = 0.25;
        for (int i = 0; i < 100; ++i) {
            const auto d = vq6120::detail::Reconnects::delay(b, c.failures, random);
            EXPECT_GE(d, c.expected * 3 / 4);
            EXPECT_LE(d, c.expected * 5 / 4);
        }
    }
}

// A life of a terminal as steps; after each loss the failures counted so
// far decide the next wait.
TEST(PollerParts, TheBackoffStartsOverOnlyAfterProofOfReading) {
    enum Step { Online, Drained, LostClosed, LostNotReading };
    struct Case {
        const char *name;
        std::vector<Step> steps;
        unsigned failures;  // after the steps, one counted per loss
    };
    const Case cases[] = {
        {"closed after reset_after: over", {Online, LostClosed}, 1},
        {"not reading without proof: no", {Online, LostNotReading, Online, LostNotReading}, 2},
        {"not reading, proof this time: over", {Online, LostNotReading, Online, Drained, LostNotReading}, 1},
        {"closed after not reading, no proof since: no", {Online, LostNotReading, Online, LostClosed}, 2},
        {"proof an earlier time does not count for not reading",
         {Online, Drained, LostClosed, Online, LostNotReading},
         2},
    };
    vq6120::Backoff b;
    b.jitter = 0;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vq6120::detail::Reconnects r;
        std::minstd_rand random(1);
        for (const Step s : c.steps) {
            switch (s) {
            case Online:
                r.attempt_started();
                r.online();
                break;
            case Drained:
                r.drained(b.reset_after - 1ms, b);  // too early: no proof
                r.drained(b.reset_after, b);
                break;
            case LostClosed:
            case LostNotReading:
                r.lost(b.reset_after, s == LostNotReading, b);
                r.next_wait(b, random);
                break;
            }
        }
        EXPECT_EQ(r.failures(), c.failures);
    }
}

TEST(PollerParts, LivenessDeadlines) {
    struct Case {
        std::uint8_t auto_report;
        std::uint8_t alive_seconds;
        Clock::duration silent_at;  // 0: never silent
        Clock::duration next;       // the earliest deadline; 0: the silence bound after the frame
    };
    const Case cases[] = {
        {1, 0, 350ms, {}}, {10, 3, 3500ms, 1000ms}, {255, 0, 89250ms, {}}, {0, 1, {}, 333ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.auto_report} << " " << int{c.alive_seconds});
        vq6120::detail::Liveness l(c.auto_report, c.alive_seconds);
        l.start(t0);
        if (c.silent_at == Clock::duration{}) {
            EXPECT_FALSE(l.silent(t0 + 24h));
        } else {
            EXPECT_FALSE(l.silent(t0 + c.silent_at - 1ms));
            EXPECT_TRUE(l.silent(t0 + c.silent_at));
            l.received(t0 + 1ms);
            EXPECT_FALSE(l.silent(t0 + c.silent_at));
        }
        EXPECT_EQ(l.next(), c.next == Clock::duration{} ? t0 + 1ms + c.silent_at : t0 + c.next);
    }
}

TEST(PollerParts, HostAliveSignalsKeepTheirPaceAndNeverPileUp) {
    vq6120::detail::Liveness l(0, 3);
    l.start(t0);
    EXPECT_FALSE(l.alive_due(t0 + 999ms));
    EXPECT_TRUE(l.alive_due(t0 + 1000ms));
    l.alive_sent(t0 + 1200ms);  // late: the next stays on the second
    EXPECT_EQ(l.next(), t0 + 2000ms);
    l.alive_sent(t0 + 9000ms);  // far behind: one now, not a burst
    EXPECT_EQ(l.next(), t0 + 9000ms);
    l.stop();
    EXPECT_EQ(l.next(), kNever);
}

TEST(PollerParts, TheDueHeapGivesTheEarliestFirstAndSweepsWhatIsStale) {
    vq6120::detail::DueHeap h;
    for (const int ms : {30, 10, 20, 10}) {
        h.push({t0 + std::chrono::milliseconds{ms}, static_cast<std::uint64_t>(ms)});
    }
    std::vector<std::uint64_t> order;
    while (!h.empty()) {
        order.push_back(h.pop().key);
    }
    EXPECT_EQ(order, (std::vector<std::uint64_t>{10, 10, 20, 30}));

    // Stale entries outnumbering the live ones by 1024: crowded, and a sweep
    // keeps the live ones only.
    for (std::uint64_t k = 0; k < 2000; ++k) {
        h.push({t0, k});
        if (k % 2 == 1) {
            h.add_stale();
        }
    }
    EXPECT_FALSE(h.crowded());
    for (int i = 0; i < 1025; ++i) {
        h.add_stale();
    }
    EXPECT_TRUE(h.crowded());
    h.sweep([](const vq6120::detail::Due &d) { return d.key % 2 == 0; });
    EXPECT_EQ(h.size(), 1000u);
    EXPECT_EQ(h.stale(), 0u);
    h.skipped_stale();
    EXPECT_EQ(h.stale(), 0u);
}

}  // namespace
