// Separate handles used from separate threads at once: commands, receiving
// and the probe, each thread against a terminal of its own. Handles share
// nothing, so each thread sees exactly its own traffic; under the tsan
// preset ThreadSanitizer checks that no memory is shared behind the host's
// back either.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "test_peer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::operator+;
using test::TestPeer;

constexpr int kThreads = 4;
constexpr int kRounds = 60;

// One thread's whole conversation; returns a description of the first
// mismatch, or an empty string. (gtest assertions are kept on the main thread.)
std::string converse(int id) {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    const std::unique_ptr<VQ6120_Connection, decltype(&ExitVQ6120)> closer(h, ExitVQ6120);
    const auto tag = static_cast<std::uint8_t>(0x10 * id);
    Bytes serial(1000);
    for (std::size_t i = 0; i < serial.size(); ++i) {
        serial[i] = static_cast<std::uint8_t>(tag + i);
    }
    for (int round = 0; round < kRounds; ++round) {
        const auto r = static_cast<std::uint8_t>(round);
        // The terminal's traffic, with the model-name reply among it.
        peer.send(frame(0x40, 0x37, 0, {tag, r}) + frame(0x40, 0x0A, 0, {0x33, 0x31}) +
                  frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'}) + frame(0x60, 0x00, 0, {tag, r, 1}));

        if (DrawLine(h, 1, 2, 3, 4) != 1 || WriteText(h, "Hi", 2, 1) != 1 ||
            SendCOMData(h, serial.data(), static_cast<std::int32_t>(serial.size()), 2) != 1 || ReadDIStatus(h) != 1) {
            return "a command was refused";
        }
        if (GetConnectStatus(h, 5) != 1) {
            return "probe failed in round " + std::to_string(round);
        }
        // The probe took the reply alone: the rest comes out in order.
        struct Want {
            std::int32_t result;
            Bytes payload;
        };
        const Want wants[] = {{3, {tag, r}}, {4, {0x33, 0x31}}, {6, {tag, r, 1}}};
        for (const Want &want : wants) {
            std::uint8_t out[64];
            std::int32_t len = sizeof out;
            std::int32_t got = 1;
            for (int i = 0; i < 500 && got == 1; ++i) {
                len = sizeof out;
                got = GetDataFromEthernet(h, out, &len, 1);
            }
            if (got != want.result || Bytes(out, out + (len > 0 ? len : 0)) != want.payload) {
                return "round " + std::to_string(round) + ": result " + std::to_string(got) + " instead of " +
                       std::to_string(want.result);
            }
        }
        const Bytes sent = peer.next(16 + 10 + 1008 + 8 + 8);
        const Bytes expected =
            Bytes{0x10, 0x00, 0x40, 0x00, 0x00, 0x00, 0x47, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04} +
            Bytes{0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x61, 0x01, 'H', 'i'} +
            Bytes{0xF0, 0x03, 0x61, 0x00, 0x00, 0x00, 0x00, 0x00} + serial +
            Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00} +
            Bytes{0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00};
        if (sent != expected) {
            return "round " + std::to_string(round) + ": the terminal received other bytes";
        }
        if (GetDllVersion() != 1.31) {
            return "version";
        }
    }
    return {};
}

TEST(Threads, HandlesOnSeparateThreadsShareNothing) {
    std::vector<std::string> outcome(kThreads);
    std::vector<std::thread> threads;
    for (int id = 0; id < kThreads; ++id) {
        threads.emplace_back([&outcome, id] { outcome[static_cast<std::size_t>(id)] = converse(id + 1); });
    }
    // Meanwhile, connections opened and closed on this thread.
    std::atomic<int> opened{0};
    for (int i = 0; i < 50; ++i) {
        TestPeer peer;
        VQ6120_HANDLE h = peer.connect();
        opened += SendHostAlive(h);
        peer.close();
        std::int32_t len = 0;
        std::int32_t r = 1;
        for (int j = 0; j < 500 && r == 1; ++j) {
            r = GetDataFromEthernet(h, nullptr, &len, 1);
        }
        EXPECT_EQ(r, VQ6120_RECV_CLOSED);
        ExitVQ6120(h);
    }
    for (std::thread &t : threads) {
        t.join();
    }
    EXPECT_EQ(opened.load(), 50);
    for (int id = 0; id < kThreads; ++id) {
        EXPECT_EQ(outcome[static_cast<std::size_t>(id)], "") << "thread " << id;
    }
}

}  // namespace
}  // namespace vq6120
