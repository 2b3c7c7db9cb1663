// The encoder's plans played on the virtual terminal's screen model: random
// canvases and random edits always end equal to the canvas, bit for bit,
// with every argument in the interface's ranges. Without the whole-cell
// option the plan must hold whether the terminal's text clears its cells or
// only lights its glyphs.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "vq6120/screen/encoder.hpp"
#include "model/font.hpp"
#include "model/screen.hpp"

namespace vq6120::screen {
namespace {

using sim::GraphicScreen;

// A terminal whose text command lights the glyph pixels only.
void glyphs_only(GraphicScreen &s, int x, int y, const char *text, int length) {
    for (int i = 0; i < length; ++i) {
        for (int row = 0; row < kCellHeight; ++row) {
            for (int col = 0; col < kCellWidth; ++col) {
                if (glyph_pixel(static_cast<std::uint8_t>(text[i]), col, row)) s.set(x + i * kCellWidth + col, y + row);
            }
        }
    }
}

struct Played {
    GraphicScreen whole;   // text writes whole cells (the simulator)
    GraphicScreen glyphs;  // text lights glyphs only
    int commands = 0;
    int bytes = 0;
    std::string fault;
};

void play(void *context, const Command &c) noexcept {
    auto &p = *static_cast<Played *>(context);
    ++p.commands;
    p.bytes += frame_bytes(c);
    const bool in_range = c.x1 >= 0 && c.x1 < kWidth && c.y1 >= 0 && c.y1 < kHeight && c.x2 >= 0 &&
                          c.x2 < kWidth && c.y2 >= 0 && c.y2 < kHeight;
    if (!in_range) p.fault = "argument out of range";
    switch (c.op) {
    case Op::Clear:
        p.whole.clear();
        p.glyphs.clear();
        break;
    case Op::Pixel:
        p.whole.set(c.x1, c.y1);
        p.glyphs.set(c.x1, c.y1);
        break;
    case Op::Line:
        if (c.x1 != c.x2 && c.y1 != c.y2) p.fault = "slanted line";
        p.whole.line(c.x1, c.y1, c.x2, c.y2);
        p.glyphs.line(c.x1, c.y1, c.x2, c.y2);
        break;
    case Op::Rectangle:
        p.whole.rectangle(c.x1, c.y1, c.x2, c.y2, true);
        p.glyphs.rectangle(c.x1, c.y1, c.x2, c.y2, true);
        break;
    case Op::Text:
        if (c.length < 1 || c.length > kMaxTextLength || c.text == nullptr) {
            p.fault = "text length";
            break;
        }
        p.whole.text(c.x1, c.y1, std::string_view(c.text, c.length));
        glyphs_only(p.glyphs, c.x1, c.y1, c.text, c.length);
        break;
    }
}

bool same(const GraphicScreen &s, const Canvas &c) {
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            if (s.pixel(x, y) != c.get(x, y)) return false;
        }
    }
    return true;
}

// One random change: shapes on or off, noise, terminal text, a clear.
void edit(Canvas &c, std::mt19937 &rng) {
    auto n = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    switch (n(0, 9)) {
    case 0:
    case 1: c.fill(n(-5, 244), n(-5, 68), n(-5, 244), n(-5, 68), n(0, 3) != 0); break;
    case 2: c.fill(n(0, 239), n(0, 63), n(0, 239), n(0, 63), false); break;
    case 3:
        for (int i = n(1, 200); i > 0; --i) c.set(n(0, 239), n(0, 63), n(0, 4) != 0);
        break;
    case 4: {  // a dense patch, like a dithered picture
        const int x0 = n(0, 200), y0 = n(0, 40);
        for (int y = y0; y < y0 + n(1, 24); ++y) {
            for (int x = x0; x < x0 + n(1, 40); ++x) c.set(x, y, n(0, 1) != 0);
        }
        break;
    }
    case 5:
    case 6: {
        std::string s;
        for (int i = n(1, 12); i > 0; --i) s.push_back(static_cast<char>(n(0x1F, 0x7F)));
        c.draw_terminal_text(n(-8, 239), n(-8, 63), s.data(), static_cast<int>(s.size()));
        break;
    }
    case 7: {  // a value redrawn in place: one character changes
        const int x = n(0, 30) * 6, y = n(0, 7) * 8;
        std::string s = std::to_string(n(0, 99999));
        c.draw_terminal_text(x, y, s.data(), static_cast<int>(s.size()));
        break;
    }
    case 8:
        if (n(0, 5) == 0) c.clear();
        break;
    default: c.fill(n(0, 239), n(0, 63), n(0, 239), n(0, 63), true); break;
    }
}

struct Case {
    const char *name;
    bool cells_whole;
};

class EncoderPlays : public testing::TestWithParam<Case> {};

TEST_P(EncoderPlays, RandomEditsEndEqualToTheCanvas) {
    EncodeOptions options;
    options.text_erases_cells = GetParam().cells_whole;
    std::mt19937 rng(20261209);
    for (int run = 0; run < 40; ++run) {
        Canvas shown, wanted;
        Played p;
        for (int step = 0; step < 25; ++step) {
            for (int k = std::uniform_int_distribution<int>(1, 4)(rng); k > 0; --k) edit(wanted, rng);
            const int before = p.bytes;
            const EncodeResult r = encode(shown, wanted, options, play, &p);
            ASSERT_EQ(p.fault, "") << "run " << run << " step " << step;
            ASSERT_EQ(r.bytes, p.bytes - before);
            ASSERT_TRUE(same(p.whole, wanted)) << "run " << run << " step " << step;
            if (!options.text_erases_cells) {
                ASSERT_TRUE(same(p.glyphs, wanted)) << "glyph-only text, run " << run << " step " << step;
            }
            shown = wanted;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Options, EncoderPlays,
                         testing::Values(Case{"InterfaceOnly", false}, Case{"TextErasesCells", true}),
                         [](const auto &info) { return std::string(info.param.name); });

// The plans chosen for changes whose best encoding is plain.
TEST(EncoderPlans, ChoosesTheCheapStrategyForPlainChanges) {
    Canvas empty, filled, one, text, dot, erased, crossed, crossed_dot, ell;
    filled.fill(10, 10, 109, 49);
    one.set(7, 9);
    text.draw_terminal_text(12, 8, "Pump 1", 6);
    crossed = text;
    crossed.fill(12, 11, 47, 11);  // a line through the text's cells
    crossed_dot = crossed;
    crossed_dot.set(200, 3);
    ell.fill(0, 0, 19, 0);
    ell.set(0, 1);
    dot = filled;
    dot.set(200, 3);
    erased = filled;
    erased.set(50, 20, false);
    struct Row {
        const char *name;
        const Canvas &from, &to;
        bool cells_whole;
        int commands, bytes;
        bool cleared;
    } rows[] = {
        {"nothing to do", filled, filled, false, 0, 0, false},
        {"a block is one filled rectangle", empty, filled, false, 1, 16, false},
        {"a lone pixel", empty, one, false, 1, 12, false},
        {"terminal text as text", empty, text, false, 1, 18, false},
        {"a pixel added, nothing redrawn", filled, dot, false, 1, 12, false},
        {"erasing without the option: clear, redraw", filled, erased, false, 5, 8 + 4 * 16, true},
        {"erasing with the option: a space, then the cell's rest", filled, erased, true, 3, 13 + 2 * 16, false},
        {"everything off: a clear", filled, empty, true, 1, 8, true},
        {"a pixel beside text crossed by a line: the text is not resent", crossed, crossed_dot, false, 1, 12, false},
        {"the same with the option", crossed, crossed_dot, true, 1, 12, false},
        {"a run with a pixel under its first: a line and a pixel", empty, ell, false, 2, 16 + 12, false},
    };
    for (const Row &row : rows) {
        EncodeOptions o;
        o.text_erases_cells = row.cells_whole;
        const EncodeResult r = encode(row.from, row.to, o, nullptr, nullptr);
        EXPECT_EQ(r.commands, row.commands) << row.name;
        EXPECT_EQ(r.bytes, row.bytes) << row.name;
        EXPECT_EQ(r.cleared, row.cleared) << row.name;
    }
}

// A pixel off any edge of the screen changes nothing.
TEST(Plane, SetKeepsToTheScreen) {
    const struct {
        int x, y, lit;
    } cases[] = {{0, 0, 1}, {239, 63, 1}, {240, 0, 0}, {-1, 0, 0}, {0, 64, 0}, {0, -1, 0}};
    for (const auto &c : cases) {
        Plane p;
        p.set(c.x, c.y);
        EXPECT_EQ(p.count(), c.lit) << c.x << "," << c.y;
    }
}

}  // namespace
}  // namespace vq6120::screen
