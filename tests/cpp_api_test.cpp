// The C++ face (vq6120.hpp) against a real loopback peer: typed events,
// refusal of values the C parameters cannot hold, batches, waiting polls, and
// the Poller's own timers and cross-thread calls. Built for Windows as well.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "test_peer.hpp"
#include "vq6120.hpp"

using namespace std::chrono_literals;
using vq6120::test::Bytes;
using vq6120::test::frame;
using vq6120::test::TestPeer;

namespace {

Bytes text(std::string_view s) { return {s.begin(), s.end()}; }

struct EventCase {
    const char *name;
    Bytes wire;
    vq6120::Event expected;
};

TEST(CppTerminal, EachReceivedFrameBecomesItsTypedEvent) {
    const EventCase cases[] = {
        {"key", frame(0x40, 0x37, 0, {5}), vq6120::Key{5}},
        {"inputs", frame(0x40, 0x0A, 0, {'0', '3'}), vq6120::DigitalInputs{true, true}},
        {"model", frame(0x40, 0x00, 0, text("VQ6120-SIM")), vq6120::ModelName{"VQ6120-SIM"}},
        {"serial 1", frame(0x60, 0x00, 0, {1, 2, 3}), vq6120::SerialData{1, {1, 2, 3}}},
        {"serial 2", frame(0x61, 0x00, 0, {9}), vq6120::SerialData{2, {9}}},
        {"frame 0x10", frame(0x40, 0x10, 0, {7, 8}), vq6120::OtherFrame{VQ6120_RECV_FRAME_10, {7, 8}}},
        {"two-byte key", frame(0x40, 0x37, 0, {1, 2}), vq6120::OtherFrame{VQ6120_RECV_FRAME_37, {1, 2}}},
        {"bad inputs", frame(0x40, 0x0A, 0, {'0'}), vq6120::OtherFrame{VQ6120_RECV_DI_STATUS, {'0'}}},
    };
    TestPeer peer;
    vq6120::Terminal t(peer.connect());
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        peer.send(c.wire);
        const auto event = t.poll(5s);
        ASSERT_TRUE(event.has_value());
        EXPECT_EQ(*event, c.expected);
    }
    EXPECT_FALSE(t.poll(0ms).has_value());
    EXPECT_FALSE(t.closed());
}

TEST(CppTerminal, ValuesTooWideForTheCParametersAreRefusedAndSendNothing) {
    using Call = std::function<bool(vq6120::Terminal &)>;
    const std::pair<const char *, Call> refused[] = {
        // 65536 + 5 would become 5 once cut to 16 bits, inside the range.
        {"pixel x", [](auto &t) { return t.draw_pixel(65536 + 5, 0); }},
        {"circle size", [](auto &t) { return t.draw_circle(10, 10, 65536 + 3); }},
        {"rectangle mode", [](auto &t) { return t.draw_rectangle(0, 0, 5, 5, 256 + 1); }},
        {"outputs", [](auto &t) { return t.write_outputs(256, 0); }},
        {"led", [](auto &t) { return t.set_led(-1); }},
        {"serial port", [](auto &t) { return t.send_serial(257, Bytes{1}); }},
        {"auto report", [](auto &t) { return t.set_auto_report(300); }},
        // Out of the C function's own range.
        {"pixel y", [](auto &t) { return t.draw_pixel(0, 64); }},
        {"empty text", [](auto &t) { return t.write_text(""); }},
    };
    TestPeer peer;
    vq6120::Terminal t(peer.connect());
    for (const auto &[name, call] : refused) {
        EXPECT_FALSE(call(t)) << name;
    }
    EXPECT_TRUE(t.draw_pixel(5, 6));
    EXPECT_EQ(peer.take_all(), frame(0x40, 0x43, 0, {0, 5, 0, 6}));
}

TEST(CppTerminal, ABatchSendsTheSameBytesAsTheCommandsOneByOne) {
    const auto draw = [](vq6120::Terminal &t) {
        for (int i = 0; i < 50; ++i) {
            t.draw_line(0, i % 64, 239, 63 - i % 64);
            t.draw_text(i, 1, "Pump " + std::to_string(i));
        }
        t.write_outputs(1, 0);
    };
    TestPeer peer;
    vq6120::Terminal t(peer.connect());
    draw(t);
    const Bytes one_by_one = peer.take_all();
    {
        auto batch = t.batch();
        ASSERT_TRUE(batch);
        draw(t);
        EXPECT_TRUE(batch.end());
    }
    EXPECT_EQ(peer.take_all(), one_by_one);
    {
        // Left without end(): the guard sends the batch as it goes.
        auto batch = t.batch();
        draw(t);
        EXPECT_EQ(peer.take_all(), Bytes{});
    }
    EXPECT_EQ(peer.take_all(), one_by_one);
}

TEST(CppTerminal, PollWaitsForALateFrameAndReportsTheClose) {
    TestPeer peer;
    vq6120::Terminal t(peer.connect());
    std::thread later([&] {
        std::this_thread::sleep_for(100ms);
        peer.send(frame(0x40, 0x37, 0, {42}));
        std::this_thread::sleep_for(50ms);
        peer.close();
    });
    const auto event = t.poll(10s);
    ASSERT_TRUE(event.has_value());
    EXPECT_EQ(*event, vq6120::Event{vq6120::Key{42}});
    EXPECT_FALSE(t.poll(10s).has_value());
    EXPECT_TRUE(t.closed());
    later.join();
}

TEST(CppPoller, TimersRunInDeadlineOrderAndCancelledOnesNever) {
    vq6120::Poller poller;
    ASSERT_TRUE(poller.ok());
    std::vector<int> ran;
    poller.after(30ms, [&] { ran.push_back(3); });
    poller.after(10ms, [&] { ran.push_back(1); });
    const auto cancelled = poller.after(20ms, [&] { ran.push_back(2); });
    EXPECT_TRUE(poller.cancel(cancelled));
    EXPECT_FALSE(poller.cancel(cancelled));
    // Timers re-armed over and over: their stale entries are swept out
    // without taking the live ones along.
    for (int i = 0; i < 5000; ++i) {
        EXPECT_TRUE(poller.cancel(poller.after(1h, [&] { ran.push_back(-1); })));
    }
    poller.after(40ms, [&] { poller.stop(); });
    poller.run();
    EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST(CppPoller, PostAndStopFromAnotherThreadEndRun) {
    vq6120::Poller poller;
    std::atomic<int> posted{0};
    std::thread other([&] {
        for (int i = 0; i < 100; ++i) {
            poller.post([&] { ++posted; });
        }
        poller.post([&] { poller.stop(); });
    });
    poller.run();  // would wait an hour without the wake
    other.join();
    EXPECT_EQ(posted.load(), 100);
    // A stop() before run() is not lost.
    poller.stop();
    poller.run();
}

TEST(CppPoller, AThrowingCallbackLosesNoOtherWork) {
    vq6120::Poller poller;
    std::vector<int> ran;
    poller.post([&] { ran.push_back(1); });
    poller.post([] { throw std::runtime_error("callback"); });
    poller.post([&] { ran.push_back(3); });
    poller.after(0ms, [&] { ran.push_back(4); });
    EXPECT_THROW(poller.run_once(0ms), std::runtime_error);
    poller.run_once(0ms);
    EXPECT_EQ(ran, (std::vector<int>{1, 3, 4}));
}

// The Poller's path through the platform's wait (WSAPoll on Windows) for one
// terminal: connect, events, commands, loss and the wait to retry.
TEST(CppPoller, ServesATerminalFromConnectToLoss) {
    TestPeer peer;
    vq6120::Poller poller;
    std::vector<vq6120::State> states;
    std::vector<vq6120::Event> events;
    poller.on_state([&](const vq6120::StateChange &c) { states.push_back(c.state); });
    poller.on_event([&](vq6120::TerminalId, void *, vq6120::Event &e) { events.push_back(e); });
    vq6120::TerminalConfig config;
    config.endpoint = {TestPeer::loopback(), peer.port()};
    const auto id = poller.add(config);
    const auto rounds_until = [&](const std::function<bool()> &done) {
        for (int i = 0; i < 500 && !done(); ++i) {
            poller.run_once(20ms);
        }
        return done();
    };
    ASSERT_TRUE(rounds_until([&] { return poller.online() == 1; }));
    peer.accept();
    ASSERT_TRUE(poller.terminal(id)->set_led(1));
    EXPECT_EQ(peer.next(9), frame(0x40, 0x0C, 0, {1}));
    peer.send(frame(0x40, 0x37, 0, {7}));
    ASSERT_TRUE(rounds_until([&] { return !events.empty(); }));
    EXPECT_EQ(events.front(), vq6120::Event{vq6120::Key{7}});
    // More in one burst than a round's share: the rest, already read into the
    // library's buffer where no readiness shows it, comes in later rounds.
    Bytes burst;
    for (int i = 0; i < 300; ++i) {
        const Bytes key = frame(0x40, 0x37, 0, {static_cast<std::uint8_t>(i)});
        burst.insert(burst.end(), key.begin(), key.end());
    }
    peer.send(burst);
    ASSERT_TRUE(rounds_until([&] { return events.size() == 301; }));
    EXPECT_EQ(events.back(), vq6120::Event{vq6120::Key{static_cast<std::uint8_t>(299)}});
    peer.close();
    ASSERT_TRUE(rounds_until([&] { return poller.state(id) == vq6120::State::Waiting; }));
    EXPECT_EQ(states, (std::vector<vq6120::State>{vq6120::State::Connecting, vq6120::State::Online,
                                                  vq6120::State::Lost, vq6120::State::Waiting}));
}

}  // namespace
