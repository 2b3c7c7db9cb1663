// The frame codec against hand-written wire bytes.
#include <gtest/gtest.h>

#include "test_peer.hpp"
#include "transport/frame_codec.hpp"

namespace vq6120 {
namespace {

using test::Bytes;

TEST(Codec, EncodesHeaderLittleEndianWithZeroReservedBytes) {
    struct Case {
        std::uint8_t channel, command, subcode;
        Bytes payload;
        Bytes wire;
    };
    const Case cases[] = {
        {0x40, 0x0A, 0x00, {}, {0x08, 0x00, 0x40, 0x00, 0x00, 0x00, 0x0A, 0x00}},
        {0x61, 0x05, 0x07, {0x01, 0x02}, {0x0A, 0x00, 0x61, 0x00, 0x00, 0x00, 0x05, 0x07, 0x01, 0x02}},
        {0xFF, 0xFF, 0xFF, {0x00}, {0x09, 0x00, 0xFF, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00}},
    };
    for (const Case &c : cases) {
        Bytes out(c.wire.size() + 4, 0xEE);
        EXPECT_EQ(encode_frame(out, c.channel, c.command, c.subcode, c.payload), c.wire.size());
        out.resize(c.wire.size());
        EXPECT_EQ(out, c.wire);
    }
}

TEST(Codec, LengthFieldCarriesSixteenBits) {
    Bytes payload(300, 0x5A);
    Bytes out(308);
    ASSERT_EQ(encode_frame(out, 0x40, 0x01, 0x00, payload), 308u);
    EXPECT_EQ(out[0], 0x34);  // 308 = 0x0134, low byte first
    EXPECT_EQ(out[1], 0x01);

    Bytes biggest(kMaxPayloadSize), frame_out(kMaxFrameSize);
    ASSERT_EQ(encode_frame(frame_out, 0x40, 0, 0, biggest), kMaxFrameSize);
    EXPECT_EQ(frame_out[0], 0xFF);
    EXPECT_EQ(frame_out[1], 0xFF);
}

TEST(Codec, RefusesPayloadsThatDoNotFit) {
    Bytes too_big(kMaxPayloadSize + 1), out(kMaxFrameSize + 1);
    EXPECT_EQ(encode_frame(out, 0x40, 0, 0, too_big), 0u);
    Bytes small_out(9);
    EXPECT_EQ(encode_frame(small_out, 0x40, 0, 0, Bytes{1, 2}), 0u);
}

TEST(Codec, BigEndianPayloadValues) {
    std::uint8_t b[2];
    put_be16(b, 239);
    EXPECT_EQ(b[0], 0x00);
    EXPECT_EQ(b[1], 0xEF);
    put_be16(b, 0x1234);
    EXPECT_EQ(get_be16(b), 0x1234);
}

TEST(Codec, CutsTheFrontFrameAfterCheckingItsLength) {
    struct Case {
        const char *what;
        Bytes stream;
        CutStatus status;
        std::size_t frame_size;
    };
    const Case cases[] = {
        {"empty", {}, CutStatus::Incomplete, 0},
        {"seven bytes", {0x08, 0x00, 0x40, 0, 0, 0, 0x0A}, CutStatus::Incomplete, 0},
        {"bare header", {0x08, 0x00, 0x40, 0, 0, 0, 0x0A, 0}, CutStatus::Whole, 8},
        {"payload missing a byte", {0x0A, 0x00, 0x40, 0, 0, 0, 0x0A, 0, 0x31}, CutStatus::Incomplete, 0},
        {"frame and more", {0x09, 0x00, 0x40, 0, 0, 0, 0x37, 0, 0x05, 0x08, 0x00}, CutStatus::Whole, 9},
        {"length zero", {0x00, 0x00, 0x40, 0, 0, 0, 0, 0}, CutStatus::OutOfStep, 0},
        {"length seven", {0x07, 0x00, 0x40, 0, 0, 0, 0, 0}, CutStatus::OutOfStep, 0},
        {"length above the cap", {0x01, 0x80, 0x40, 0, 0, 0, 0, 0}, CutStatus::OutOfStep, 0},
    };
    for (const Case &c : cases) {
        const FrameCut cut = cut_frame(c.stream, kMaxReceiveFrameSize);
        EXPECT_EQ(cut.status, c.status) << c.what;
        EXPECT_EQ(cut.frame.size(), c.frame_size) << c.what;
    }
    Bytes at_cap(kMaxReceiveFrameSize);
    at_cap[0] = 0x00;
    at_cap[1] = 0x80;
    EXPECT_EQ(cut_frame(at_cap, kMaxReceiveFrameSize).status, CutStatus::Whole);
}

TEST(Codec, DecodesHeaderFieldsIgnoringReservedBytes) {
    const Bytes wire{0x0C, 0x01, 0x61, 0xAA, 0xBB, 0xCC, 0x00, 0x03};
    const FrameHeader h = decode_header(wire.data());
    EXPECT_EQ(h.length, 0x010C);
    EXPECT_EQ(h.channel, 0x61);
    EXPECT_EQ(h.command, 0x00);
    EXPECT_EQ(h.subcode, 0x03);
}

}  // namespace
}  // namespace vq6120
