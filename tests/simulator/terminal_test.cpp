// The terminal model: text areas, and what each host frame does to the state
// and which frames come back.
#include <gtest/gtest.h>

#include <string>

#include "model/snapshot.hpp"
#include "model/terminal.hpp"

namespace vq6120::sim {
namespace {

using namespace std::chrono_literals;

std::span<const std::uint8_t> bytes(std::string_view s) {
    return {reinterpret_cast<const std::uint8_t *>(s.data()), s.size()};
}

// ---- Text areas -------------------------------------------------------------

TEST(TextArea, WritesFromTheCursorAndWrapsAtTheRowEnd) {
    TextArea a(40, 8);
    a.write(bytes("Hello"), false);
    EXPECT_EQ(a.row_text(0), "Hello" + std::string(35, ' '));
    EXPECT_EQ(a.cursor_column(), 5);
    a.write(bytes(std::string(37, 'x')), false);  // 5 + 37 = 42: two cells into row 1
    EXPECT_EQ(a.row_text(0), "Hello" + std::string(35, 'x'));
    EXPECT_EQ(a.row_text(1), "xx" + std::string(38, ' '));
    EXPECT_EQ(a.cursor_column(), 2);
    EXPECT_EQ(a.cursor_row(), 1);
}

TEST(TextArea, WritingPastTheLastRowScrollsUp) {
    TextArea a(20, 2);
    a.write(bytes(std::string(20, 'A') + std::string(20, 'B') + "C"), false);
    EXPECT_EQ(a.row_text(0), std::string(20, 'B'));
    EXPECT_EQ(a.row_text(1), "C" + std::string(19, ' '));
    EXPECT_EQ(a.cursor_column(), 1);
    EXPECT_EQ(a.cursor_row(), 1);
}

TEST(TextArea, CarriageReturnAndLineFeed) {
    TextArea a(20, 2);
    a.write(bytes("abc\rX\nyz"), false);
    EXPECT_EQ(a.row_text(0), "Xbc" + std::string(17, ' '));
    EXPECT_EQ(a.row_text(1), "yz" + std::string(18, ' '));
}

TEST(TextArea, ScrollMovesRowsAndLeavesTheCursor) {
    TextArea a(4, 3);
    a.write(bytes("aaaabbbbcc"), false);  // cursor ends at column 2, row 2
    a.scroll(-1);
    EXPECT_EQ(a.row_text(0), "bbbb");
    EXPECT_EQ(a.row_text(1), "cc  ");
    EXPECT_EQ(a.row_text(2), "    ");
    EXPECT_EQ(a.cursor_column(), 2);
    EXPECT_EQ(a.cursor_row(), 2);
    a.scroll(+1);
    EXPECT_EQ(a.row_text(0), "    ");
    EXPECT_EQ(a.row_text(1), "bbbb");
    EXPECT_EQ(a.row_text(2), "cc  ");
}

TEST(TextArea, InverseIsPerCellAndClearResets) {
    TextArea a(10, 2);
    a.write(bytes("ab"), true);
    a.write(bytes("c"), false);
    EXPECT_TRUE(a.at(0, 0).inverse);
    EXPECT_TRUE(a.at(1, 0).inverse);
    EXPECT_FALSE(a.at(2, 0).inverse);
    a.clear();
    EXPECT_EQ(a.row_text(0), std::string(10, ' '));
    EXPECT_FALSE(a.at(0, 0).inverse);
    EXPECT_EQ(a.cursor_column(), 0);
}

TEST(TextArea, NonPrintableBytesShowAsDotsButAreKept) {
    TextArea a(4, 1);
    const std::uint8_t raw[] = {0x00, 0x41, 0xFF};
    a.write(raw, false);
    EXPECT_EQ(a.row_text(0), ".A. ");
    EXPECT_EQ(a.at(0, 0).code, 0x00);
    EXPECT_EQ(a.at(2, 0).code, 0xFF);
}

// ---- Host frames ------------------------------------------------------------

struct Feed {
    Terminal t;
    Clock::time_point now = Clock::time_point{} + 1h;
    std::string problem;

    std::vector<OutFrame> operator()(std::uint8_t ch, std::uint8_t command, std::uint8_t sub,
                                     std::vector<std::uint8_t> payload = {}) {
        problem.clear();
        FrameHeader h;
        h.length = static_cast<std::uint16_t>(8 + payload.size());
        h.channel = ch;
        h.command = command;
        h.subcode = sub;
        return t.handle(h, payload, now, &problem);
    }
};

TEST(TerminalFrames, ModelNameRequestIsAnsweredWithTheName) {
    Feed f;
    const auto out = f(0x40, 0x00, 0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (OutFrame{0x40, 0x00, 0, {'V', 'Q', '6', '1', '2', '0', '-', 'S', 'I', 'M'}}));
}

// The library sends the second flag's digit first.
struct DigitalOutCase {
    std::vector<std::uint8_t> payload;
    bool first, second;
};
class DigitalOutputs : public testing::TestWithParam<DigitalOutCase> {};
TEST_P(DigitalOutputs, DigitsSetTheOutputs) {
    Feed f;
    f(0x40, 0x09, 0, GetParam().payload);
    EXPECT_TRUE(f.problem.empty()) << f.problem;
    EXPECT_EQ(f.t.digital_out[0], GetParam().first);
    EXPECT_EQ(f.t.digital_out[1], GetParam().second);
}
INSTANTIATE_TEST_SUITE_P(Flags, DigitalOutputs,
                         testing::Values(DigitalOutCase{{0x30, 0x31}, true, false},
                                         DigitalOutCase{{0x31, 0x30}, false, true},
                                         DigitalOutCase{{0x31, 0x31}, true, true},
                                         DigitalOutCase{{0x30, 0x30}, false, false}));

TEST(TerminalFrames, BadOutputDigitsChangeNothing) {
    Feed f;
    f(0x40, 0x09, 0, {0x31, 0x31});
    f(0x40, 0x09, 0, {0x32, 0x30});
    EXPECT_FALSE(f.problem.empty());
    f(0x40, 0x09, 0, {0x30});
    EXPECT_FALSE(f.problem.empty());
    EXPECT_TRUE(f.t.digital_out[0] && f.t.digital_out[1]);
    EXPECT_EQ(f.t.frames_ignored, 2u);
}

// The second digit carries input 1 in bit 0 and input 2 in bit 1, as the
// host's decoder reads it.
struct DigitalInCase {
    bool first, second;
    std::uint8_t digit;
};
class DigitalInputs : public testing::TestWithParam<DigitalInCase> {};
TEST_P(DigitalInputs, StatusRequestIsAnsweredWithTwoDigits) {
    Feed f;
    f.t.digital_in = {GetParam().first, GetParam().second};
    const auto out = f(0x40, 0x0A, 0);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (OutFrame{0x40, 0x0A, 0, {0x30, GetParam().digit}}));
}
INSTANTIATE_TEST_SUITE_P(Inputs, DigitalInputs,
                         testing::Values(DigitalInCase{false, false, '0'}, DigitalInCase{true, false, '1'},
                                         DigitalInCase{false, true, '2'}, DigitalInCase{true, true, '3'}));

TEST(TerminalFrames, DrawingFramesReachTheScreen) {
    Feed f;
    f(0x40, 0x43, 0, {0, 10, 0, 5});                          // pixel (10, 5)
    f(0x40, 0x47, 0, {0, 0, 0, 20, 0, 4, 0, 20});             // line (0,20)-(4,20)
    f(0x40, 0x4C, 0, {0, 100, 0, 40, 0, 102, 0, 42});         // filled 3 x 3
    f(0x40, 0x49, 0, {0, 200, 0, 30, 0, 3});                  // circle r 3
    f(0x40, 0x50, 0, {0, 60, 0, 0, 'A'});                     // text at (60, 0)
    EXPECT_TRUE(f.t.graphic.pixel(10, 5));
    EXPECT_TRUE(f.t.graphic.pixel(4, 20));
    EXPECT_FALSE(f.t.graphic.pixel(5, 20));
    EXPECT_TRUE(f.t.graphic.pixel(101, 41));
    EXPECT_TRUE(f.t.graphic.pixel(203, 30));
    EXPECT_FALSE(f.t.graphic.pixel(200, 30));
    EXPECT_TRUE(f.t.graphic.pixel(60, 1));
    EXPECT_EQ(f.t.frames_handled, 5u);
    f(0x40, 0x40, 0);
    EXPECT_EQ(f.t.graphic.count_on(), 0);
}

TEST(TerminalFrames, CoordinatesAbove32767ReadAsNegativeAndAreClipped) {
    Feed f;
    f(0x40, 0x47, 0, {0xFF, 0xFF, 0, 0, 0, 3, 0, 0});  // (-1, 0) to (3, 0)
    EXPECT_EQ(f.t.graphic.count_on(), 4);
}

TEST(TerminalFrames, CursorPixelPositionPicksTheCell) {
    Feed f;
    f(0x40, 0x65, 0, {0, 13, 0, 17});  // column 13 / 6 = 2, row 17 / 8 = 2
    f(0x40, 0x61, 1, {'h', 'i'});
    EXPECT_EQ(f.t.text.row_text(2).substr(0, 4), "  hi");
    EXPECT_TRUE(f.t.text.at(2, 2).inverse);
    f(0x40, 0x65, 0, {0, 239, 0, 63});
    EXPECT_EQ(f.t.text.cursor_column(), 39);
    EXPECT_EQ(f.t.text.cursor_row(), 7);
}

TEST(TerminalFrames, ScrollStepBytes) {
    Feed f;
    f(0x40, 0x62, 0, {'t', 'o', 'p'});
    f(0x40, 0x68, 0, {0x01});  // down: the text moves to row 1
    EXPECT_EQ(f.t.keyboard.row_text(1).substr(0, 3), "top");
    f(0x40, 0x68, 0, {0xFF});  // up again
    EXPECT_EQ(f.t.keyboard.row_text(0).substr(0, 3), "top");
    f(0x40, 0x67, 0, {0x05});
    EXPECT_FALSE(f.problem.empty());
    f(0x40, 0x30, 0);
    EXPECT_EQ(f.t.keyboard.row_text(0), std::string(20, ' '));
}

TEST(TerminalFrames, HousekeepingValuesAreRecorded) {
    Feed f;
    f(0x40, 0x0C, 0, {3});
    f(0x40, 0x0D, 0, {0});
    f(0x40, 0x0B, 0, {10, 5, 3});  // three beeps
    f(0x40, 0x0B, 0, {10, 5, 0});  // repeat 0 still beeps once
    f(0x40, 0x0B, 0, {0, 5, 9});   // no tone length: silent
    EXPECT_EQ(f.t.led, 3);
    EXPECT_FALSE(f.t.backlight);
    EXPECT_EQ(f.t.beeper, (std::array<std::uint8_t, 3>{0, 5, 9}));
    EXPECT_EQ(f.t.beeps, 4u);
}

TEST(TerminalFrames, UnknownCommandsAndChannelsAreIgnoredWithAReason) {
    Feed f;
    EXPECT_TRUE(f(0x40, 0x99, 0, {1, 2}).empty());
    EXPECT_NE(f.problem.find("unknown command"), std::string::npos);
    EXPECT_TRUE(f(0x55, 0x00, 0).empty());
    EXPECT_NE(f.problem.find("unknown channel"), std::string::npos);
    EXPECT_TRUE(f(0x40, 0x43, 0, {0, 1}).empty());
    EXPECT_NE(f.problem.find("expected 4"), std::string::npos);
    EXPECT_EQ(f.t.frames_ignored, 3u);
}

TEST(SerialFrames, ConfigurationIsRecorded) {
    Feed f;
    f(0x61, 0x01, 0, {7, 2, 7, 2, 1, 0xFF});
    const auto &p = f.t.serial[1];
    EXPECT_TRUE(p.configured);
    EXPECT_EQ(p.baud_rate(), 115200u);
    EXPECT_EQ(p.describe(), "115200 7E2 rts/cts opt 255");
    f(0x60, 0x01, 0, {8, 0, 8, 1, 0, 0});  // baud index 8 does not exist
    EXPECT_FALSE(f.problem.empty());
    EXPECT_FALSE(f.t.serial[0].configured);
}

TEST(SerialFrames, DataIsEchoedOnItsOwnChannel) {
    Feed f;
    const auto out = f(0x61, 0x00, 0, {'A', 'B'});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (OutFrame{0x61, 0x00, 0, {'A', 'B'}}));
    EXPECT_EQ(f.t.serial[1].bytes_from_host, 2u);
    EXPECT_EQ(f.t.serial[1].bytes_to_host, 2u);
}

TEST(SerialFrames, LongDataIsSplitSoNoFrameExceeds32768Bytes) {
    Feed f;
    std::vector<std::uint8_t> data(40000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i);
    }
    const auto out = f(0x60, 0x00, 0, data);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].payload.size(), 32760u);  // 32,768 less the header
    EXPECT_EQ(out[1].payload.size(), 40000u - 32760u);
    EXPECT_EQ(out[1].payload.front(), static_cast<std::uint8_t>(32760));
}

// Every command on every channel with payloads of every size up to 12 bytes,
// all 0xFF (coordinates of -1, sizes of -1): nothing is out of bounds, and
// each frame is either handled or ignored with a reason.
TEST(TerminalFrames, AnyCommandWithAnyShortPayloadIsSafe) {
    Feed f;
    f.t.host_connected(f.now);
    std::uint64_t frames = 0;
    for (const std::uint8_t ch : {0x40, 0x60, 0x61, 0x00}) {
        for (int command = 0; command < 256; ++command) {
            for (std::size_t n = 0; n <= 12; ++n) {
                for (const std::uint8_t fill : {0x00, 0x7F, 0xFF}) {
                    f(ch, static_cast<std::uint8_t>(command), fill, std::vector<std::uint8_t>(n, fill));
                    ++frames;
                }
            }
        }
    }
    EXPECT_EQ(f.t.frames_handled + f.t.frames_ignored, frames);
}

// ---- Timers -----------------------------------------------------------------

TEST(TerminalTimers, AutoReportEveryNTimes100Milliseconds) {
    Feed f;
    f.t.host_connected(f.now);
    EXPECT_FALSE(f.t.next_deadline());
    f(0x40, 0x11, 0, {5});
    ASSERT_TRUE(f.t.next_deadline());
    EXPECT_EQ(*f.t.next_deadline(), f.now + 500ms);
    EXPECT_TRUE(f.t.on_time(f.now + 499ms).empty());
    f.t.digital_in = {false, true};
    const auto out = f.t.on_time(f.now + 500ms);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (OutFrame{0x40, 0x0A, 0, {'0', '2'}}));
    EXPECT_EQ(*f.t.next_deadline(), f.now + 1000ms);
    f(0x40, 0x11, 0, {0});
    EXPECT_FALSE(f.t.next_deadline());
}

TEST(TerminalTimers, NoReportsWithoutAHost) {
    Feed f;
    f(0x40, 0x11, 0, {1});
    EXPECT_FALSE(f.t.next_deadline());
    EXPECT_TRUE(f.t.on_time(f.now + 10s).empty());
}

TEST(TerminalTimers, HostIsLostAfterNSecondsWithoutASignal) {
    Feed f;
    f.t.host_connected(f.now);
    f(0x40, 0x12, 0, {2});
    f.now += 1500ms;
    f(0x40, 0x12, 1);  // signal: the two seconds start again
    std::string note;
    f.t.on_time(f.now + 1999ms, &note);
    EXPECT_FALSE(f.t.host_lost);
    f.t.on_time(f.now + 2s, &note);
    EXPECT_TRUE(f.t.host_lost);
    EXPECT_NE(note.find("host lost"), std::string::npos);
    f(0x40, 0x12, 1);
    EXPECT_FALSE(f.t.host_lost);
    EXPECT_EQ(f.t.alive_signals, 2u);
}

// ---- Text dump --------------------------------------------------------------

TEST(TextDump, ShowsPixelsTextAndStates) {
    Terminal t;
    t.graphic.line(0, 0, 3, 0);
    t.graphic.set(239, 63);
    t.text.write(bytes("Hi"), false);
    t.keyboard.write(bytes("K"), true);
    t.digital_out = {true, false};
    t.led = 2;
    const std::string d = text_dump(t, true);
    EXPECT_NE(d.find("|####" + std::string(236, '.') + "|\n"), std::string::npos);
    EXPECT_NE(d.find("|" + std::string(239, '.') + "#|\n"), std::string::npos);
    EXPECT_NE(d.find("cursor column 2 row 0"), std::string::npos);
    EXPECT_NE(d.find("|Hi" + std::string(38, ' ') + "|\n"), std::string::npos);
    EXPECT_NE(d.find("keyboard display 20x2, inverse cells 1\n+" + std::string(20, '-') + "+\n|K "),
              std::string::npos);
    EXPECT_NE(d.find("host connected\n"), std::string::npos);
    EXPECT_NE(d.find("digital outputs 1 0\n"), std::string::npos);
    EXPECT_NE(d.find("led 2\n"), std::string::npos);
}

}  // namespace
}  // namespace vq6120::sim
