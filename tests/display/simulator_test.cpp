// Through the real library on a real connection: after every plan the
// simulator's screen equals the canvas, bit for bit; VQ6120Ex_DrawBitmap
// lights exactly the bitmap's set bits and refuses what it must.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "vq6120/screen/send.hpp"
#include "farm/farm.hpp"
#include "vq6120/display/screen_file.hpp"
#include "vq6120/display/terminal_display.hpp"

namespace vq6120::display {

using namespace screen;
namespace {

class OnSimulator : public testing::Test {
protected:
    void SetUp() override {
        sim::FarmOptions options;
        options.port = 0;
        farm_ = std::make_unique<sim::Farm>(options, out_, log_);
        std::string error;
        ASSERT_TRUE(farm_->open(error)) << error;
        loop_ = std::thread([this] { farm_->run(); });
        handle_ = InitialVQ6120(htonl(INADDR_LOOPBACK), farm_->port(0));
        ASSERT_NE(handle_, nullptr);
    }
    void TearDown() override {
        ExitVQ6120(handle_);
        farm_->stop();
        loop_.join();
    }

    // The terminal once it has acted on everything sent before: the probe's
    // answer comes after them.
    sim::Terminal settled() {
        EXPECT_EQ(GetConnectStatus(handle_, 5), 1);
        return farm_->terminal(0);
    }

    static ::testing::AssertionResult shows(const sim::Terminal &t, const Canvas &c) {
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                if (t.graphic.pixel(x, y) != c.get(x, y)) {
                    return ::testing::AssertionFailure() << "pixel " << x << "," << y << " differs";
                }
            }
        }
        return ::testing::AssertionSuccess();
    }

    void command_farm(const std::string &line) {
        std::string error;
        ASSERT_TRUE(farm_->command(line, &error)) << error;
    }

    std::ostringstream out_, log_;
    std::unique_ptr<sim::Farm> farm_;
    std::thread loop_;
    VQ6120_HANDLE handle_ = nullptr;
};

TEST_F(OnSimulator, EveryStepOfRandomEditsShowsTheCanvas) {
    std::mt19937 rng(7);
    auto n = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (const bool cells_whole : {false, true}) {
        EncodeOptions options;
        options.text_erases_cells = cells_whole;
        ASSERT_EQ(ClearGraphicScreen(handle_), 1);
        Canvas shown, wanted;
        for (int step = 0; step < 12; ++step) {
            for (int k = n(1, 3); k > 0; --k) {
                switch (n(0, 3)) {
                case 0: wanted.fill(n(0, 239), n(0, 63), n(0, 239), n(0, 63), n(0, 2) != 0); break;
                case 1:
                    for (int i = 0; i < 150; ++i) wanted.set(n(0, 239), n(0, 63), n(0, 1) != 0);
                    break;
                case 2: {
                    const std::string s = "T=" + std::to_string(n(0, 999));
                    wanted.draw_terminal_text(n(0, 30) * 6, n(0, 7) * 8, s.data(), static_cast<int>(s.size()));
                    break;
                }
                default: wanted.fill(n(0, 239), n(0, 63), n(0, 239), n(0, 63), false); break;
                }
            }
            ASSERT_EQ(VQ6120Ex_BeginBatch(handle_), 1);
            encode(shown, wanted, options, send_to_handle, handle_);
            ASSERT_EQ(VQ6120Ex_EndBatch(handle_), 1);
            ASSERT_TRUE(shows(settled(), wanted)) << "cells whole " << cells_whole << ", step " << step;
            shown = wanted;
        }
    }
}

// A finished drawing through the one helper: a clear first when asked, in a
// batch of its own (over when it returns) or in the host's (left open), its
// count and bytes those of the plan, every command reaching the terminal.
TEST_F(OnSimulator, SendDrawingSendsThePlanInOneBatch) {
    Canvas wanted;
    wanted.fill(10, 10, 100, 40);
    wanted.draw_terminal_text(0, 56, "DRAWN", 5);
    const auto plan = [&wanted](CommandSink sink, void *context) noexcept {
        encode(Plane{}, wanted.plane(), wanted.texts(), EncodeOptions{}, sink, context);
    };
    const EncodeResult planned = encode(Plane{}, wanted.plane(), wanted.texts(), EncodeOptions{}, nullptr, nullptr);
    struct Case {
        bool clear, host_batch;
    };
    for (const Case c : {Case{false, false}, Case{true, false}, Case{false, true}, Case{true, true}}) {
        SCOPED_TRACE(testing::Message() << "clear " << c.clear << ", host batch " << c.host_batch);
        ASSERT_EQ(DrawPixel(handle_, 239, 0), 1);  // not in the drawing: only a clear takes it away
        const std::uint64_t before = settled().frames_handled;
        if (c.host_batch) {
            ASSERT_EQ(VQ6120Ex_BeginBatch(handle_), 1);
        }
        const Sent sent = send_drawing(handle_, c.clear, c.host_batch, plan);
        EXPECT_EQ(VQ6120Ex_EndBatch(handle_), c.host_batch ? 1 : 0);
        EXPECT_TRUE(sent.accepted);
        EXPECT_EQ(sent.commands, planned.commands + (c.clear ? 1 : 0));
        EXPECT_EQ(sent.bytes, planned.bytes + (c.clear ? frame_bytes(Command{}) : 0));
        const sim::Terminal t = settled();
        EXPECT_EQ(t.frames_handled - before, static_cast<std::uint64_t>(sent.commands) + 1);  // and the probe
        Canvas shown = wanted;
        shown.set(239, 0, !c.clear);
        EXPECT_TRUE(shows(t, shown));
    }
    // No terminal: nothing accepted, and no command tried without a batch.
    const Sent alone = send_drawing(nullptr, true, false, plan);
    EXPECT_FALSE(alone.accepted);
    EXPECT_EQ(alone.commands, 0);
    EXPECT_FALSE(send_drawing(nullptr, true, true, plan).accepted);
}

// The committed reference screens and their update steps, with and without
// the whole-cell option, each step from what the one before left.
TEST_F(OnSimulator, ReferenceScreensAndUpdatesShowBitForBit) {
    const char *steps[] = {"dashboard", "digit_added", "digit_changed", "bar_graph", "bar_grown",
                           "bar_shrunk", "icons",     "picture",       "dashboard"};
    for (const bool cells_whole : {false, true}) {
        EncodeOptions options;
        options.text_erases_cells = cells_whole;
        Canvas shown;
        ASSERT_EQ(ClearGraphicScreen(handle_), 1);
        for (const char *name : steps) {
            Canvas wanted;
            std::string error;
            ASSERT_TRUE(read_screen(std::string(VQ6120_DISPLAY_REFERENCE) + "/" + name + ".screen", wanted, &error))
                << error;
            ASSERT_EQ(VQ6120Ex_BeginBatch(handle_), 1);
            encode(shown, wanted, options, send_to_handle, handle_);
            ASSERT_EQ(VQ6120Ex_EndBatch(handle_), 1);
            ASSERT_TRUE(shows(settled(), wanted)) << name << ", cells whole " << cells_whole;
            shown = wanted;
        }
    }
}

// The terminal shows every part of the display's wanted state.
template <class Grid>
::testing::AssertionResult same_cells(const sim::TextArea &area, const Grid &grid) {
    for (int r = 0; r < Grid::kRows; ++r) {
        for (int c = 0; c < Grid::kColumns; ++c) {
            const auto &cell = area.at(c, r);
            const auto ri = static_cast<std::size_t>(r), ci = static_cast<std::size_t>(c);
            if (cell.code != static_cast<std::uint8_t>(grid.chars[ri][ci]) || cell.inverse != grid.inverse[ri][ci]) {
                return ::testing::AssertionFailure() << "cell " << c << "," << r << " differs";
            }
        }
    }
    return ::testing::AssertionSuccess();
}

void expect_showing(const sim::Terminal &t, Display &d, int column, int row) {
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) ASSERT_EQ(t.graphic.pixel(x, y), d.canvas().get(x, y)) << x << "," << y;
    }
    EXPECT_TRUE(same_cells(t.text, d.text()));
    EXPECT_TRUE(same_cells(t.keyboard, d.keyboard()));
    EXPECT_EQ(t.text.cursor_column(), column);
    EXPECT_EQ(t.text.cursor_row(), row);
    EXPECT_EQ(t.led, 3);
    EXPECT_FALSE(t.backlight);
    EXPECT_TRUE(t.digital_out[0]);
    EXPECT_FALSE(t.digital_out[1]);
}

TEST_F(OnSimulator, DisplaySendsChangesOnlyAndTheWholeStateAfterARestart) {
    Display d;
    d.canvas().fill(0, 0, 239, 9);
    d.canvas().draw_terminal_text(4, 20, "FLOW 118", 8);
    d.text().put(0, 0, "Ready");
    d.text().put(30, 3, "ALARM", true);
    d.text().put(0, 7, "last row, to the last cell.............");
    d.set_cursor(5, 6);
    d.keyboard().put(0, 1, "F1 MENU");
    d.keyboard().put(15, 1, "STOP", true);
    d.set_led(3);
    d.set_backlight(false);
    d.set_outputs(true, false);
    ASSERT_TRUE(d.sync(handle_).sent);
    expect_showing(settled(), d, 5, 6);

    const SyncResult again = d.sync(handle_);
    EXPECT_EQ(again.commands, 0) << "nothing changed, nothing sent";
    d.text().put(3, 0, "D");
    const SyncResult one_cell = d.sync(handle_);
    EXPECT_EQ(one_cell.commands, 3) << "cursor to the cell, the cell, cursor back";
    EXPECT_EQ(one_cell.bytes, 12 + 9 + 12);
    expect_showing(settled(), d, 5, 6);

    // A power cycle; meanwhile another host wipes everything.
    command_farm("on 0 restart 100ms");
    std::uint8_t buf[64];
    std::int32_t len = sizeof buf;
    for (int i = 0; i < 500 && GetDataFromEthernet(handle_, buf, &len, 1) != VQ6120_RECV_CLOSED; ++i) len = sizeof buf;
    ExitVQ6120(handle_);
    handle_ = nullptr;
    VQ6120_HANDLE other = nullptr;
    for (int i = 0; i < 100 && other == nullptr; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        other = InitialVQ6120(htonl(INADDR_LOOPBACK), farm_->port(0));
    }
    ASSERT_NE(other, nullptr);
    ClearGraphicScreen(other);
    ClearText(other);
    ClearKeyboard(other);
    SetLED(other, 0);
    SetLCDBacklight(other, 1);
    WriteDOStatus(other, 0, 0);
    ASSERT_EQ(GetConnectStatus(other, 5), 1);
    ExitVQ6120(other);

    handle_ = InitialVQ6120(htonl(INADDR_LOOPBACK), farm_->port(0));
    ASSERT_NE(handle_, nullptr);
    d.forget();
    ASSERT_TRUE(d.sync(handle_).sent);
    expect_showing(settled(), d, 5, 6);
}

// Latest state only: a terminal that stops reading is skipped while bytes
// wait for it (memory bounded by the send queue's limit, whatever the host
// changes meanwhile); once it reads again, one sync brings the newest state,
// not the backlog of the states in between.
TEST_F(OnSimulator, AFrozenTerminalThawedShowsTheLatestStateNotABacklog) {
    ASSERT_EQ(VQ6120Ex_SetSendQueue(handle_, VQ6120_SEND_QUEUE_MIN), 1);
    auto drain = [&] {
        for (int i = 0; i < 5000 && VQ6120Ex_WaitingBytes(handle_) > 0; ++i) {
            VQ6120Ex_Flush(handle_);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return VQ6120Ex_WaitingBytes(handle_) == 0;
    };
    std::mt19937 rng(3);
    Display d;
    d.set_led(3);
    d.set_backlight(false);
    d.set_outputs(true, false);
    command_farm("on 0 freeze");
    int synced = 0, skipped = 0;
    for (int step = 0; step < 400 && skipped < 20; ++step) {
        d.canvas().clear();  // a new noisy picture every step: each sync a clear and ~50 KB
        for (int i = 0; i < 4000; ++i) d.canvas().set(static_cast<int>(rng() % 240), static_cast<int>(rng() % 64));
        d.text().put(0, 0, "step " + std::to_string(step));
        VQ6120Ex_Flush(handle_);
        if (VQ6120Ex_WaitingBytes(handle_) > 0) {
            ++skipped;  // behind: the state waits in the display, not in a queue
        } else {
            d.sync(handle_);
            ++synced;
        }
        ASSERT_LE(VQ6120Ex_WaitingBytes(handle_), VQ6120_SEND_QUEUE_MIN);
    }
    EXPECT_GT(synced, 0);
    EXPECT_GT(skipped, 0) << "the frozen terminal never fell behind";
    d.text().put(0, 1, "latest");
    command_farm("on 0 thaw");
    ASSERT_TRUE(drain());
    ASSERT_TRUE(d.sync(handle_).sent);
    ASSERT_TRUE(drain());
    const sim::Terminal t = settled();
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) ASSERT_EQ(t.graphic.pixel(x, y), d.canvas().get(x, y)) << x << "," << y;
    }
    EXPECT_TRUE(same_cells(t.text, d.text()));
}

TEST_F(OnSimulator, DrawBitmapLightsTheSetBitsAndRefusesWhatDoesNotFit) {
    std::mt19937 rng(11);
    // A 37 x 21 bitmap, stride 6 (one spare byte a row, never read as pixels).
    std::vector<std::uint8_t> bits(21 * 6);
    for (auto &b : bits) b = static_cast<std::uint8_t>(rng() & rng());
    ASSERT_EQ(SetLED(handle_, 1), 1);
    const auto before = settled().frames_handled;
    struct Refused {
        const char *why;
        int x, y, w, h, stride;
        bool null_bits;
    } refused[] = {
        {"x below 0", -1, 0, 37, 21, 6, false},  {"y below 0", 0, -1, 37, 21, 6, false},
        {"past the right edge", 204, 0, 37, 21, 6, false}, {"past the bottom", 0, 44, 37, 21, 6, false},
        {"no width", 0, 0, 0, 21, 6, false},     {"no height", 0, 0, 37, 0, 6, false},
        {"stride too short", 0, 0, 37, 21, 4, false}, {"no bits", 0, 0, 37, 21, 6, true},
    };
    for (const Refused &r : refused) {
        EXPECT_EQ(VQ6120Ex_DrawBitmap(handle_, static_cast<std::int16_t>(r.x), static_cast<std::int16_t>(r.y),
                                      static_cast<std::int16_t>(r.w), static_cast<std::int16_t>(r.h),
                                      r.null_bits ? nullptr : bits.data(), r.stride),
                  0)
            << r.why;
    }
    EXPECT_EQ(VQ6120Ex_DrawBitmap(nullptr, 0, 0, 37, 21, bits.data(), 6), 0);
    EXPECT_EQ(settled().frames_handled, before + 1) << "only the probe arrived";

    // Over a drawing: set bits light, clear bits leave what was there.
    ASSERT_EQ(DrawRectangle(handle_, 0, 0, 239, 63, 0), 1);
    Canvas expected;
    expected.fill(0, 0, 239, 0);
    expected.fill(0, 63, 239, 63);
    expected.fill(0, 0, 0, 63);
    expected.fill(239, 0, 239, 63);
    expected.blit(203, 43, 37, 21, bits.data(), 6, false);
    EXPECT_EQ(VQ6120Ex_DrawBitmap(handle_, 203, 43, 37, 21, bits.data(), 6), 1);
    EXPECT_TRUE(shows(settled(), expected));

    // Queued sends: a checkerboard (7,680 lone pixels, 92,160 bytes) passes
    // the smallest queue and is refused whole; a bitmap that fits is queued.
    ASSERT_EQ(VQ6120Ex_SetSendQueue(handle_, VQ6120_SEND_QUEUE_MIN), 1);
    std::vector<std::uint8_t> checkers(30 * 64);
    for (std::size_t row = 0; row < 64; ++row) {
        for (std::size_t b = 0; b < 30; ++b) checkers[row * 30 + b] = row % 2 == 0 ? 0xAA : 0x55;
    }
    EXPECT_EQ(VQ6120Ex_DrawBitmap(handle_, 0, 0, 240, 64, checkers.data(), 30), 0);
    EXPECT_EQ(VQ6120Ex_LastRefusal(handle_), VQ6120_REFUSED_QUEUE_FULL);
    EXPECT_EQ(VQ6120Ex_DrawBitmap(handle_, 0, 0, 240, 8, checkers.data(), 30), 1);
    expected.blit(0, 0, 240, 8, checkers.data(), 30, false);
    for (int i = 0; i < 1000 && VQ6120Ex_Flush(handle_) > 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(shows(settled(), expected));
}

}  // namespace
}  // namespace vq6120::display
