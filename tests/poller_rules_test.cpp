// The Poller's rules about time, to the millisecond: its clock is one the
// test moves by hand, so a deadline is asserted at its last millisecond and at
// the first one past it, with no wall-clock timing anywhere. The terminals
// are plain loopback sockets (the test reads and writes the wire itself).
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "raw_peer.hpp"
#include "test_peer.hpp"
#include "vq6120.hpp"

using namespace std::chrono_literals;
using vq6120::Clock;
using vq6120::State;
using vq6120::TerminalId;
using vq6120::test::Bytes;
using vq6120::test::frame;

namespace {

// A Poller on a hand-moved clock, jitter off, and one listening "terminal".
class Rig {
public:
    explicit Rig(vq6120::Backoff backoff = no_jitter(), int receive_buffer = 0)
        : listener_(receive_buffer), poller_(backoff, [this] {
              ++clock_reads;
              return now_;
          }) {
        poller_.on_state([this](const vq6120::StateChange &c) { changes.push_back(c); });
        poller_.on_event([this](TerminalId, void *, vq6120::Event &e) { events.push_back(e); });
    }
    ~Rig() {
        for (const int fd : accepted_) {
            ::close(fd);
        }
    }
    static vq6120::Backoff no_jitter() {
        vq6120::Backoff b;
        b.jitter = 0;
        return b;
    }

    TerminalId add(vq6120::TerminalConfig c) {
        c.endpoint = {vq6120::test::TestPeer::loopback(), listener_.port()};
        return poller_.add(c);
    }
    // Rounds, with the clock standing still, until `done` (a bound, not a
    // timing: a failure shows as the predicate's state).
    bool until(const std::function<bool()> &done) {
        for (int i = 0; i < 400 && !done(); ++i) {
            poller_.run_once(10ms);
        }
        return done();
    }
    // A few rounds that wait for nothing.
    void settle() {
        for (int i = 0; i < 3; ++i) {
            poller_.run_once(0ms);
        }
    }
    // Comes online at the clock's present time, the terminal's end accepted.
    int online(TerminalId id) {
        EXPECT_TRUE(until([&] { return poller_.state(id) == State::Online; }));
        const int fd = listener_.accept(5000);
        EXPECT_GE(fd, 0);
        accepted_.push_back(fd);
        return fd;
    }
    void at(Clock::duration since_start) {
        now_ = start_ + since_start;
        settle();
    }
    // The last state change, and the clock relative to the start.
    const vq6120::StateChange &last() const { return changes.back(); }
    Clock::duration since_start(Clock::time_point t) const { return t - start_; }

    vq6120::Poller &poller() { return poller_; }

    std::vector<vq6120::StateChange> changes;
    std::vector<vq6120::Event> events;
    // How often the Poller read its clock: once or more a round, and once
    // more for every socket the wait reports ready.
    std::size_t clock_reads = 0;

private:
    vq6120::test::Listener listener_;
    Clock::time_point start_ = Clock::time_point{} + 24h;
    Clock::time_point now_ = start_;
    vq6120::Poller poller_;
    std::vector<int> accepted_;
};

// Bytes waiting on the terminal's end, without waiting.
Bytes waiting(int fd) {
    Bytes out(4096);
    const ssize_t n = ::recv(fd, out.data(), out.size(), MSG_DONTWAIT);
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes &p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}

// The connect completes on writability: online with the clock standing
// still, long before the connect limit would force a last look.
TEST(PollerRules, AConnectCompletesWithoutItsClockMoving) {
    Rig rig;
    vq6120::TerminalConfig c;
    c.connect_limit = 1h;
    const TerminalId id = rig.add(c);
    rig.online(id);
    EXPECT_EQ(rig.since_start(rig.poller().now()), 0ms);
    EXPECT_EQ(rig.last().state, State::Online);
}

TEST(PollerRules, ASilentTerminalIsLostAtThreeAndAHalfReportPeriodsToTheMillisecond) {
    for (const int tenths : {1, 10, 255}) {
        SCOPED_TRACE(tenths);
        Rig rig;
        vq6120::TerminalConfig c;
        c.auto_report = static_cast<std::uint8_t>(tenths);
        const TerminalId id = rig.add(c);
        const int fd = rig.online(id);
        const auto bound = std::chrono::milliseconds{350} * tenths;
        // A report half way restarts the bound from when it was read.
        rig.at(bound / 2);
        ASSERT_TRUE(vq6120::test::write_all(fd, frame(0x40, 0x0A, 0, {'0', '1'})));
        ASSERT_TRUE(rig.until([&] { return rig.events.size() == 1; }));
        rig.at(bound / 2 + bound - 1ms);
        EXPECT_EQ(rig.poller().state(id), State::Online);
        rig.at(bound / 2 + bound);
        ASSERT_EQ(rig.poller().state(id), State::Waiting);
        EXPECT_EQ(rig.changes[rig.changes.size() - 2].reason, vq6120::reason::kNoAutoReport);
    }
}

// Backoff: initial x 2^k since last online for reset_after, jitter off.
TEST(PollerRules, BackoffDoublesPerLossAndResetsAfterResetAfterOnline) {
    Rig rig;
    const TerminalId id = rig.add({});
    struct Step {
        const char *name;
        std::chrono::milliseconds online_for;
        std::chrono::milliseconds retry_after;
    };
    const Step steps[] = {
        {"first loss", 0ms, 500ms},
        {"second, online just short of reset_after", 9999ms, 1000ms},
        {"third, short again", 0ms, 2000ms},
        {"online for reset_after", 10000ms, 500ms},
    };
    Clock::duration t{};
    int fd = rig.online(id);
    for (const Step &s : steps) {
        SCOPED_TRACE(s.name);
        t += s.online_for;
        rig.at(t);
        ::close(fd);
        ASSERT_TRUE(rig.until([&] { return rig.poller().state(id) == State::Waiting; }));
        EXPECT_EQ(rig.changes[rig.changes.size() - 2].reason, vq6120::reason::kClosed);
        EXPECT_EQ(rig.since_start(rig.last().retry_at), t + s.retry_after);
        rig.at(t + s.retry_after - 1ms);
        EXPECT_EQ(rig.poller().state(id), State::Waiting);
        t += s.retry_after;
        rig.at(t);
        EXPECT_NE(rig.poller().state(id), State::Waiting);
        fd = rig.online(id);
    }
}

// Host-alive N: SetHostAliveCheck(N) and a first signal when online, then one
// every N/3 seconds.
TEST(PollerRules, HostAliveSignalsGoOutAtOnceAndEveryThirdOfTheCheck) {
    Rig rig;
    vq6120::TerminalConfig c;
    c.host_alive_seconds = 3;
    const TerminalId id = rig.add(c);
    const int fd = rig.online(id);
    const Bytes alive = frame(0x40, 0x12, 1);
    const Bytes expected = concat({frame(0x40, 0x12, 0, {3}), alive});
    Bytes first(expected.size());
    ASSERT_TRUE(vq6120::test::read_exactly(fd, first));
    EXPECT_EQ(first, expected);
    for (const auto period : {1000ms, 2000ms, 3000ms}) {
        SCOPED_TRACE(period.count());
        rig.at(period - 1ms);
        EXPECT_EQ(waiting(fd), Bytes{});
        rig.at(period);
        EXPECT_EQ(waiting(fd), alive);
    }
}

TEST(PollerRules, KeepaliveIsSwitchedOnOnceOnline) {
    Rig rig;
    vq6120::TerminalConfig c;
    c.keepalive_idle_seconds = 7;
    c.keepalive_interval_seconds = 2;
    c.keepalive_count = 4;
    const TerminalId id = rig.add(c);
    rig.online(id);
    const int s = static_cast<int>(rig.poller().terminal(id)->native_socket());
    const auto option = [s](int level, int name) {
        int v = -1;
        socklen_t n = sizeof v;
        ::getsockopt(s, level, name, &v, &n);
        return v;
    };
    EXPECT_EQ(option(SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPIDLE), 7);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPINTVL), 2);
    EXPECT_EQ(option(IPPROTO_TCP, TCP_KEEPCNT), 4);
}

// behind() holds from exactly the high-water mark on. An open batch waits
// whole and nothing of it goes, so the waiting bytes are known exactly.
TEST(PollerRules, BehindHoldsFromExactlyTheHighWaterMark) {
    Rig rig;
    vq6120::TerminalConfig c;
    c.high_water = 80;
    const TerminalId id = rig.add(c);
    rig.online(id);
    vq6120::Terminal &t = *rig.poller().terminal(id);
    const auto batch = t.batch();
    ASSERT_TRUE(batch);
    for (int clears = 1; clears <= 11; ++clears) {  // 8 bytes each
        ASSERT_TRUE(t.clear_graphic_screen());
        ASSERT_EQ(rig.poller().waiting_bytes(id), 8 * clears);
        EXPECT_EQ(rig.poller().behind(id), 8 * clears >= 80) << clears;
    }
}

// Write interest only while bytes wait: once a terminal took everything, a
// round in which it sends nothing finds no socket ready, as before anything
// was queued for it (a Poller that kept waiting for writability would be
// woken by the idle socket every round and spin).
TEST(PollerRules, ADrainedTerminalWakesNoRound) {
    Rig rig(Rig::no_jitter(), 4096);
    const TerminalId id = rig.add({});
    const int fd = rig.online(id);
    const auto reads_per_round = [&rig] {
        rig.settle();
        const std::size_t before = rig.clock_reads;
        for (int i = 0; i < 10; ++i) {
            rig.poller().run_once(0ms);
        }
        return rig.clock_reads - before;
    };
    const std::size_t idle = reads_per_round();

    vq6120::Terminal &t = *rig.poller().terminal(id);
    const int small = 4096;
    ::setsockopt(static_cast<int>(t.native_socket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    const std::vector<std::uint8_t> big(VQ6120_MAX_PAYLOAD, 0x55);
    ASSERT_TRUE(t.send_raw(0x40, 0x7E, 0, big));
    rig.settle();
    ASSERT_GT(rig.poller().waiting_bytes(id), 0);
    // Bytes waiting: the socket wakes the rounds as the terminal takes them.
    Bytes all;
    ASSERT_TRUE(rig.until([&] {
        const Bytes got = waiting(fd);
        all.insert(all.end(), got.begin(), got.end());
        return all.size() == big.size() + 8 && rig.poller().waiting_bytes(id) == 0;
    }));
    EXPECT_EQ(reads_per_round(), idle);
}

// A probe reads past a key press into the library's buffer, where no
// readiness shows it: the next round delivers it anyway.
TEST(PollerRules, FramesAProbeLeftBufferedComeInTheNextRound) {
    Rig rig;
    const TerminalId id = rig.add({});
    const int fd = rig.online(id);
    ASSERT_TRUE(vq6120::test::write_all(
        fd, concat({frame(0x40, 0x37, 0, {9}), frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'})})));
    ASSERT_TRUE(rig.poller().terminal(id)->probe(5));
    EXPECT_TRUE(rig.events.empty());
    rig.poller().run_once(0ms);
    ASSERT_EQ(rig.events.size(), 1u);
    EXPECT_EQ(rig.events.front(), vq6120::Event{vq6120::Key{9}});
}

}  // namespace
