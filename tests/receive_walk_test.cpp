// The receive walk, classification and probe search as functions over bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "test_peer.hpp"
#include "transport/receive_buffer.hpp"

namespace vq6120 {
namespace {

using test::Bytes;
using test::frame;
using test::operator+;

// Appends bytes as a socket read would; returns how many fitted.
std::size_t feed(ReceiveBuffer &buffer, std::span<const std::uint8_t> bytes) {
    const auto room = buffer.free_space();
    const std::size_t n = std::min(room.size(), bytes.size());
    std::copy_n(bytes.begin(), n, room.begin());
    buffer.commit(n);
    return n;
}

Bytes buffered(const ReceiveBuffer &buffer) { return {buffer.bytes().begin(), buffer.bytes().end()}; }

const Bytes kDi = {0x0A, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00, 0x31, 0x32};

struct WalkCase {
    const char *what;
    Bytes stream;
    std::int32_t capacity;
    std::int32_t result;
    bool length_set;
    Bytes payload;  // what the host's buffer receives
    Bytes left;     // what stays buffered
};

class Walk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(Walk, ClassifiesDeliversAndKeepsTheRest) {
    const WalkCase &c = GetParam();
    auto buffer = std::make_unique<ReceiveBuffer>();
    ASSERT_EQ(feed(*buffer, c.stream), c.stream.size());
    Bytes out(64, 0xEE);
    const WalkOutcome o = walk_frames(*buffer, out.data(), c.capacity);
    EXPECT_EQ(o.result, c.result);
    EXPECT_EQ(o.length_set, c.length_set);
    if (c.length_set) {
        EXPECT_EQ(o.payload_length, static_cast<std::int32_t>(c.payload.size()));
    }
    EXPECT_TRUE(std::equal(c.payload.begin(), c.payload.end(), out.begin()));
    EXPECT_EQ(out[c.payload.size()], 0xEE) << "wrote past the delivered payload";
    EXPECT_EQ(buffered(*buffer), c.left);
}

const Bytes kF11 = frame(0x40, 0x11, 0, {0x01});
const Bytes kF37 = frame(0x40, 0x37, 0, {0x05});
const Bytes kModel = frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'});
const Bytes kUnknownChannel = frame(0x22, 0x00, 0, {0x99});
const Bytes kUnknownCommand = frame(0x40, 0x55, 0, {0x98});

INSTANTIATE_TEST_SUITE_P(
    Frames, Walk,
    ::testing::Values(
        WalkCase{"nothing buffered", {}, 64, 1, true, {}, {}},
        WalkCase{"digital inputs", kDi, 64, 4, true, {0x31, 0x32}, {}},
        WalkCase{"model name", kModel, 64, 5, true, {'V', 'Q', '6', '1', '2', '0'}, {}},
        WalkCase{"command 0x10", frame(0x40, 0x10, 0, {0x07}), 64, 8, true, {0x07}, {}},
        WalkCase{"command 0x37", kF37, 64, 3, true, {0x05}, {}},
        WalkCase{"command 0x11 consumed", kF11, 64, 2, true, {}, {}},
        WalkCase{"0x11 then 0x37", kF11 + kF37, 64, 3, true, {0x05}, {}},
        WalkCase{"0x11 survives unknown commands", kF11 + kUnknownCommand + kUnknownCommand, 64, 2, true, {}, {}},
        WalkCase{"unknown channel alone", kUnknownChannel, 64, 0, true, {}, {}},
        WalkCase{"unknown channel then unknown command", kUnknownChannel + kUnknownCommand, 64, 0, true, {}, {}},
        WalkCase{"unknown channel then inputs", kUnknownChannel + kDi, 64, 4, true, {0x31, 0x32}, {}},
        WalkCase{"serial 1, subcode 0", frame(0x60, 0x00, 0, {'a', 'b'}), 64, 6, true, {'a', 'b'}, {}},
        WalkCase{"serial 1, subcode 1 dropped", frame(0x60, 0x00, 1, {'a'}), 64, 1, true, {}, {}},
        WalkCase{"serial 1, command 1 dropped", frame(0x60, 0x01, 0, {'a'}), 64, 1, true, {}, {}},
        WalkCase{"serial 2, subcode 1", frame(0x61, 0x00, 1, {'z'}), 64, 7, true, {'z'}, {}},
        WalkCase{"two delivering frames", kDi + kF37, 64, 4, true, {0x31, 0x32}, kF37},
        WalkCase{"frame and three bytes", kDi + Bytes{0x09, 0x00, 0x40}, 64, 4, true, {0x31, 0x32},
                 {0x09, 0x00, 0x40}},
        WalkCase{"partial frame only", Bytes(kDi.begin(), kDi.begin() + 5), 64, 1, false, {},
                 Bytes(kDi.begin(), kDi.begin() + 5)},
        WalkCase{"three bytes only", {0x0A, 0x00, 0x40}, 64, 1, false, {}, {0x0A, 0x00, 0x40}},
        WalkCase{"capacity one", kDi, 1, 4, true, {0x31}, {}},
        WalkCase{"capacity zero", kDi, 0, 4, true, {}, {}},
        WalkCase{"negative capacity", kDi, -5, 4, true, {}, {}},
        WalkCase{"length zero", {0x00, 0x00, 0x40, 0, 0, 0, 0x0A, 0, 0x31, 0x32}, 64, 1, true, {}, {}},
        WalkCase{"length seven", {0x07, 0x00, 0x40, 0, 0, 0, 0x0A, 0}, 64, 1, true, {}, {}},
        WalkCase{"length above 32768", {0x01, 0x80, 0x40, 0, 0, 0, 0x0A, 0}, 64, 1, true, {}, {}},
        WalkCase{"0x11 then a bad length", kF11 + Bytes{0x03, 0x00, 0x40, 0, 0, 0, 0, 0}, 64, 2, true, {}, {}}),
    [](const auto &info) {
        std::string name = info.param.what;
        std::replace_if(name.begin(), name.end(), [](char ch) { return !std::isalnum(static_cast<unsigned char>(ch)); },
                        '_');
        return name;
    });

TEST(Walk, NullOutputCopiesNothing) {
    auto buffer = std::make_unique<ReceiveBuffer>();
    feed(*buffer, kDi);
    const WalkOutcome o = walk_frames(*buffer, nullptr, 64);
    EXPECT_EQ(o.result, 4);
    EXPECT_EQ(o.payload_length, 0);
}

// Every frame the terminal can send, in one stream.
Bytes mixed_stream() {
    Bytes s;
    for (int i = 0; i < 20; ++i) {
        const auto b = static_cast<std::uint8_t>(i);
        s = s + frame(0x40, 0x0A, 0, {0x30, static_cast<std::uint8_t>(0x30 + i % 4)}) + kF11 +
            frame(0x60, 0x00, 0, {b, b, b}) + frame(0x61, 0x00, b, {}) + kUnknownCommand +
            frame(0x40, 0x37, 0, {b}) + frame(0x40, 0x10, 0, Bytes(static_cast<std::size_t>(i * 7), b));
    }
    return s;
}

struct Delivery {
    std::int32_t result;
    Bytes payload;
    bool operator==(const Delivery &) const = default;
};

// Drains a stream fed in chunks of `chunk` bytes, walking after every chunk
// and again until the walk has nothing more; records the deliveries.
std::vector<Delivery> drain(const Bytes &stream, std::size_t chunk) {
    auto buffer = std::make_unique<ReceiveBuffer>();
    std::vector<Delivery> got;
    std::size_t at = 0;
    Bytes out(1024);
    for (;;) {
        if (at < stream.size()) {
            const std::size_t n = std::min(chunk, stream.size() - at);
            at += feed(*buffer, std::span(stream).subspan(at, n));
        }
        for (;;) {
            const WalkOutcome o = walk_frames(*buffer, out.data(), static_cast<std::int32_t>(out.size()));
            if (o.result >= recv::kFirstDelivering) {
                got.push_back({o.result, Bytes(out.begin(), out.begin() + o.payload_length)});
            }
            if (o.result == recv::kNothing && (!o.length_set || buffer->size() == 0)) {
                break;
            }
        }
        if (at == stream.size() && buffer->size() == 0) {
            return got;
        }
    }
}

TEST(Walk, SplittingTheStreamAnywhereChangesNothing) {
    const Bytes stream = mixed_stream();
    const auto whole = drain(stream, stream.size());
    ASSERT_EQ(whole.size(), 20u * 5);
    for (std::size_t chunk = 1; chunk <= 40; ++chunk) {
        EXPECT_EQ(drain(stream, chunk), whole) << "chunk size " << chunk;
    }
}

TEST(Walk, SplitAtEveryBytePositionOfAFrame) {
    const Bytes two = kDi + kF37;
    for (std::size_t cut = 1; cut < two.size(); ++cut) {
        auto buffer = std::make_unique<ReceiveBuffer>();
        Bytes out(64);
        feed(*buffer, std::span(two).first(cut));
        std::vector<std::int32_t> results;
        results.push_back(walk_frames(*buffer, out.data(), 64).result);
        feed(*buffer, std::span(two).subspan(cut));
        results.push_back(walk_frames(*buffer, out.data(), 64).result);
        results.push_back(walk_frames(*buffer, out.data(), 64).result);
        results.erase(std::remove(results.begin(), results.end(), recv::kNothing), results.end());
        EXPECT_EQ(results, (std::vector<std::int32_t>{4, 3})) << "cut at " << cut;
        EXPECT_EQ(buffer->size(), 0u);
    }
}

TEST(Walk, FrameOfExactlyThirtyTwoKilobytesFillsTheBuffer) {
    Bytes big = frame(0x60, 0x00, 0, Bytes(kMaxReceiveFrameSize - 8, 0x42));
    auto buffer = std::make_unique<ReceiveBuffer>();
    ASSERT_EQ(feed(*buffer, big), big.size());
    EXPECT_TRUE(buffer->free_space().empty());
    Bytes out(kMaxReceiveFrameSize);
    const WalkOutcome o = walk_frames(*buffer, out.data(), static_cast<std::int32_t>(out.size()));
    EXPECT_EQ(o.result, 6);
    EXPECT_EQ(o.payload_length, static_cast<std::int32_t>(kMaxReceiveFrameSize - 8));
    EXPECT_EQ(buffer->size(), 0u);
}

TEST(Walk, OutOfStepStreamRecoversWithLaterTraffic) {
    auto buffer = std::make_unique<ReceiveBuffer>();
    Bytes out(64);
    feed(*buffer, Bytes{0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00} + kDi);
    EXPECT_EQ(walk_frames(*buffer, out.data(), 64).result, 1);
    EXPECT_EQ(buffer->size(), 0u);
    feed(*buffer, kDi);
    EXPECT_EQ(walk_frames(*buffer, out.data(), 64).result, 4);
}

TEST(Walk, BurstOfThousandsDrainsInOrder) {
    Bytes burst;
    const int n = 3600;
    for (int i = 0; i < n; ++i) {
        burst = burst + frame(0x40, 0x37, 0, {static_cast<std::uint8_t>(i)});
    }
    auto buffer = std::make_unique<ReceiveBuffer>();
    ASSERT_EQ(feed(*buffer, burst), burst.size());
    std::uint8_t out[4];
    for (int i = 0; i < n; ++i) {
        const WalkOutcome o = walk_frames(*buffer, out, 4);
        ASSERT_EQ(o.result, 3);
        ASSERT_EQ(out[0], static_cast<std::uint8_t>(i));
    }
    EXPECT_EQ(walk_frames(*buffer, out, 4).result, 1);
}

TEST(ModelReply, TakesOnlyTheReplyAndKeepsEverythingElseInOrder) {
    struct Case {
        const char *what;
        Bytes stream;
        ModelReply reply;
        Bytes left;
    };
    const Bytes longer = frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0', '-', 'B'});
    const Bytes five_and_zero = frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', 0, 'x'});
    const Bytes five = frame(0x40, 0x00, 0, {'V', 'Q', '6', '1', '2'});
    const Bytes other = frame(0x40, 0x00, 0, {'X', 'Y', '9', '9', '9', '9'});
    const Bytes serial_zero = frame(0x60, 0x00, 0, {'V', 'Q', '6', '1', '2', '0'});
    const Case cases[] = {
        {"nothing", {}, ModelReply::NotFound, {}},
        {"exact name", kModel, ModelReply::Match, {}},
        {"longer name", longer, ModelReply::Match, {}},
        {"five characters and a zero", five_and_zero, ModelReply::Mismatch, {}},
        {"five characters", five, ModelReply::Mismatch, {}},
        {"other name", other, ModelReply::Mismatch, {}},
        {"frames around the reply", kF37 + kDi + kModel + kF11, ModelReply::Match, kF37 + kDi + kF11},
        {"serial data is not the reply", serial_zero, ModelReply::NotFound, serial_zero},
        {"reply not yet whole", kF37 + Bytes(kModel.begin(), kModel.begin() + 10), ModelReply::NotFound,
         kF37 + Bytes(kModel.begin(), kModel.begin() + 10)},
        {"out of step", Bytes{0x02, 0x00, 0x40, 0, 0, 0, 0, 0} + kModel, ModelReply::NotFound, {}},
    };
    for (const Case &c : cases) {
        auto buffer = std::make_unique<ReceiveBuffer>();
        feed(*buffer, c.stream);
        EXPECT_EQ(take_model_reply(*buffer), c.reply) << c.what;
        EXPECT_EQ(buffered(*buffer), c.left) << c.what;
    }
}

TEST(Parse, DigitalInputs) {
    struct Case {
        std::int32_t valid;
        Bytes payload;
        std::int32_t length;
        std::int32_t result;
        std::uint8_t first, second;
    };
    const Case cases[] = {
        {1, {0x31, 0x32}, 2, 1, 0, 2},  {1, {0x33, 0x31}, 2, 3, 1, 0},  {1, {0x30, 0x33}, 2, 0, 1, 2},
        {1, {0x30, 0x30}, 2, 0, 0, 0},  {7, {0x2F, 0x2F}, 2, 255, 1, 2}, {0, {0x31, 0x32}, 2, -1, 9, 9},
        {1, {0x31, 0x32}, 1, -1, 9, 9}, {1, {0x31, 0x32}, 3, -1, 9, 9},
    };
    for (const Case &c : cases) {
        std::uint8_t first = 9, second = 9;
        EXPECT_EQ(parse_di_status(c.valid, c.payload.data(), c.length, &first, &second), c.result);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(second, c.second);
    }
    std::uint8_t a = 9, b = 9;
    const std::uint8_t two[2] = {0x31, 0x31};
    EXPECT_EQ(parse_di_status(1, nullptr, 2, &a, &b), -1);
    EXPECT_EQ(parse_di_status(1, two, 2, nullptr, &b), -1);
    EXPECT_EQ(parse_di_status(1, two, 2, &a, nullptr), -1);
    EXPECT_EQ(a, 9);
    EXPECT_EQ(b, 9);
}

TEST(Parse, Keypad) {
    const std::uint8_t key[2] = {0x05, 0xFF};
    EXPECT_EQ(parse_keypad(1, key, 1), 5);
    EXPECT_EQ(parse_keypad(1, key + 1, 1), 255);
    EXPECT_EQ(parse_keypad(0, key, 1), 0);
    EXPECT_EQ(parse_keypad(1, key, 2), 0);
    EXPECT_EQ(parse_keypad(1, key, 0), 0);
    EXPECT_EQ(parse_keypad(1, nullptr, 1), 0);
}

}  // namespace
}  // namespace vq6120
