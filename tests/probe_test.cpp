// The probe GetConnectStatus through real loopback sockets: it answers from
// the receive stream and takes only the model-name reply out of it.
#include <gtest/gtest.h>

#include <thread>

#include "test_peer.hpp"
#include "transport/connection.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::operator+;
using test::TestPeer;

const Bytes kRequest = {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes model(std::initializer_list<std::uint8_t> name) { return frame(0x40, 0x00, 0, name); }

struct Probing : ::testing::Test {
    TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    ~Probing() override { ExitVQ6120(h); }

    std::int32_t poll(Bytes &out) {
        out.assign(64, 0);
        std::int32_t len = 64;
        std::int32_t r = 1;
        for (int i = 0; i < 100 && r == 1; ++i) {
            r = GetDataFromEthernet(h, out.data(), &len, 1);
        }
        out.resize(r >= 3 ? static_cast<std::size_t>(len) : 0);
        return r;
    }
};

TEST_F(Probing, AnswersOnTheModelName) {
    struct Case {
        const char *what;
        Bytes reply;
        std::int32_t result;
    };
    const Case cases[] = {
        {"exact", model({'V', 'Q', '6', '1', '2', '0'}), 1},
        {"longer", model({'V', 'Q', '6', '1', '2', '0', 'S', '-', '2'}), 1},
        {"five and a zero", model({'V', 'Q', '6', '1', '2', 0x00, '0'}), 0},
        {"five", model({'V', 'Q', '6', '1', '2'}), 0},
        {"empty", model({}), 0},
        {"other", model({'V', 'Q', '6', '1', '2', '1'}), 0},
    };
    for (const Case &c : cases) {
        peer.send(c.reply);
        EXPECT_EQ(GetConnectStatus(h, 2), c.result) << c.what;
        EXPECT_EQ(peer.next(8), kRequest) << c.what;
        EXPECT_EQ(h->received.size(), 0u) << c.what;
    }
}

TEST_F(Probing, ReplyAfterTheRequestWithinTheTimeout) {
    std::thread terminal([&] {
        if (peer.next(8) == kRequest) {
            peer.send(model({'V', 'Q', '6', '1', '2', '0'}));
        }
    });
    EXPECT_EQ(GetConnectStatus(h, 5), 1);
    terminal.join();
}

TEST_F(Probing, ReplySplitAcrossReads) {
    const Bytes reply = model({'V', 'Q', '6', '1', '2', '0', '-', 'X'});
    std::thread terminal([&] {
        peer.next(8);
        peer.send(std::span(reply).first(3));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        peer.send(std::span(reply).subspan(3, 8));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        peer.send(std::span(reply).subspan(11));
    });
    EXPECT_EQ(GetConnectStatus(h, 5), 1);
    terminal.join();
}

TEST_F(Probing, OtherTrafficStaysBufferedInOrder) {
    const Bytes key = frame(0x40, 0x37, 0, {0x05});
    const Bytes serial = frame(0x61, 0x00, 0, {'h', 'i'});
    const Bytes partial_di = {0x0A, 0x00, 0x40, 0x00};
    peer.send(key + serial + model({'V', 'Q', '6', '1', '2', '0'}) + partial_di);
    EXPECT_EQ(GetConnectStatus(h, 2), 1);
    peer.send({0x00, 0x00, 0x0A, 0x00, 0x31, 0x30});
    Bytes out;
    EXPECT_EQ(poll(out), 3);
    EXPECT_EQ(out, (Bytes{0x05}));
    EXPECT_EQ(poll(out), 7);
    EXPECT_EQ(out, (Bytes{'h', 'i'}));
    EXPECT_EQ(poll(out), 4);
    EXPECT_EQ(out, (Bytes{0x31, 0x30}));
}

TEST_F(Probing, ZeroTimeoutIsAPurePoll) {
    EXPECT_EQ(GetConnectStatus(h, 0), 0);
    EXPECT_EQ(peer.next(8), kRequest);
    // The reply that comes late is not lost: it is delivered as a model name.
    peer.send(model({'V', 'Q', '6', '1', '2', '0'}));
    Bytes out;
    EXPECT_EQ(poll(out), 5);
    EXPECT_EQ(out, (Bytes{'V', 'Q', '6', '1', '2', '0'}));
}

TEST_F(Probing, NoReplyTimesOut) {
    EXPECT_EQ(GetConnectStatus(h, 1), 0);
}

TEST_F(Probing, ClosedConnectionGivesZeroWithoutWaitingOut) {
    peer.close();
    // Waiting out the 200 s would run into the test's own time limit.
    EXPECT_EQ(GetConnectStatus(h, 200), 0);
}

TEST(Probe, NullHandle) { EXPECT_EQ(GetConnectStatus(nullptr, 1), 0); }

}  // namespace
}  // namespace vq6120
