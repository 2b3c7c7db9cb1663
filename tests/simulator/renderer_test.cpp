// The graphic screen: which pixels each shape sets, worked out by hand from
// the geometry (ideal line positions rounded, points at an exact distance).
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "model/screen.hpp"

namespace vq6120::sim {
namespace {

using Points = std::vector<std::pair<int, int>>;

struct ShapeCase {
    const char *name;
    void (*draw)(GraphicScreen &);
    Points on;
    Points off;
    int count;  // pixels set in all, -1 when not checked
};

void PrintTo(const ShapeCase &c, std::ostream *os) { *os << c.name; }

class ShapeTest : public testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeTest, SetsExactlyTheExpectedPixels) {
    const auto &c = GetParam();
    GraphicScreen s;
    c.draw(s);
    for (const auto &[x, y] : c.on) {
        EXPECT_TRUE(s.pixel(x, y)) << "(" << x << ", " << y << ") should be on";
    }
    for (const auto &[x, y] : c.off) {
        EXPECT_FALSE(s.pixel(x, y)) << "(" << x << ", " << y << ") should be off";
    }
    if (c.count >= 0) {
        EXPECT_EQ(s.count_on(), c.count);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, ShapeTest,
    testing::Values(
        // y = 0.4 x rounded: 0 0 1 1 2 2.
        ShapeCase{"shallow_line", [](GraphicScreen &s) { s.line(0, 0, 5, 2); },
                  {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}}, {{1, 1}, {2, 0}}, 6},
        ShapeCase{"same_line_drawn_backwards", [](GraphicScreen &s) { s.line(5, 2, 0, 0); },
                  {{0, 0}, {1, 0}, {2, 1}, {3, 1}, {4, 2}, {5, 2}}, {}, 6},
        // x = 0.4 y rounded, the steep mirror of the first.
        ShapeCase{"steep_line", [](GraphicScreen &s) { s.line(10, 10, 12, 15); },
                  {{10, 10}, {10, 11}, {11, 12}, {11, 13}, {12, 14}, {12, 15}}, {}, 6},
        ShapeCase{"full_diagonal_end_points", [](GraphicScreen &s) { s.line(0, 0, 239, 63); },
                  {{0, 0}, {239, 63}}, {{239, 0}, {0, 63}}, 240},
        ShapeCase{"single_point_line", [](GraphicScreen &s) { s.line(7, 7, 7, 7); }, {{7, 7}}, {}, 1},
        ShapeCase{"line_clipped_at_right_edge", [](GraphicScreen &s) { s.line(235, 60, 245, 60); },
                  {{235, 60}, {239, 60}}, {}, 5},
        ShapeCase{"pixel", [](GraphicScreen &s) { s.set(10, 5); }, {{10, 5}}, {}, 1},
        ShapeCase{"pixel_off_screen_ignored", [](GraphicScreen &s) { s.set(240, 5), s.set(-1, 0), s.set(0, 64); },
                  {}, {}, 0},
        // 11 x 11 box: 2 full rows of 11 and 2 columns of 9 between them.
        ShapeCase{"rectangle_outline", [](GraphicScreen &s) { s.rectangle(10, 5, 20, 15, false); },
                  {{10, 5}, {20, 5}, {10, 15}, {20, 15}, {15, 5}, {10, 10}, {20, 10}, {15, 15}},
                  {{15, 10}, {11, 6}, {19, 14}, {9, 5}, {21, 15}}, 40},
        ShapeCase{"rectangle_filled", [](GraphicScreen &s) { s.rectangle(10, 5, 20, 15, true); },
                  {{10, 5}, {20, 15}, {15, 10}, {11, 6}}, {{9, 10}, {21, 10}, {15, 4}, {15, 16}}, 121},
        ShapeCase{"rectangle_corners_reversed", [](GraphicScreen &s) { s.rectangle(20, 15, 10, 5, true); },
                  {{10, 5}, {20, 15}}, {}, 121},
        // Rows 50..63 of columns 230..239 remain: 10 x 14.
        ShapeCase{"filled_rectangle_clipped", [](GraphicScreen &s) { s.rectangle(230, 50, 260, 80, true); },
                  {{230, 50}, {239, 63}}, {{229, 50}}, 140},
        // Top row 230..239 (10) and the left column 51..63 (13); the other
        // two sides lie off the screen.
        ShapeCase{"rectangle_outline_clipped", [](GraphicScreen &s) { s.rectangle(230, 50, 260, 80, false); },
                  {{230, 50}, {239, 50}, {230, 63}}, {{239, 63}, {235, 55}}, 23},
        // Radius 5: the axis points and the 3-4-5 points lie on the circle.
        ShapeCase{"circle_outline", [](GraphicScreen &s) { s.circle(20, 20, 5, false); },
                  {{25, 20}, {15, 20}, {20, 25}, {20, 15}, {24, 23}, {23, 24}, {16, 17}, {17, 16}},
                  {{20, 20}, {22, 22}, {26, 20}, {20, 26}}, -1},
        ShapeCase{"circle_filled", [](GraphicScreen &s) { s.circle(20, 20, 5, true); },
                  {{20, 20}, {23, 23}, {25, 20}, {20, 15}, {24, 23}},
                  {{24, 24}, {16, 16}, {26, 20}, {20, 14}}, -1},
        ShapeCase{"circle_of_size_zero_is_its_centre", [](GraphicScreen &s) { s.circle(50, 30, 0, false); },
                  {{50, 30}}, {}, 1},
        ShapeCase{"circle_clipped_at_corner", [](GraphicScreen &s) { s.circle(0, 0, 32, false); },
                  {{32, 0}, {0, 32}}, {{0, 0}}, -1},
        // Half-axes 10 across and 4 down.
        ShapeCase{"ellipse_outline", [](GraphicScreen &s) { s.ellipse(50, 30, 10, 4, false); },
                  {{60, 30}, {40, 30}, {50, 34}, {50, 26}}, {{50, 30}, {55, 30}, {61, 30}, {50, 35}, {60, 34}}, -1},
        ShapeCase{"ellipse_filled", [](GraphicScreen &s) { s.ellipse(50, 30, 10, 4, true); },
                  {{50, 30}, {59, 30}, {50, 33}, {55, 31}, {60, 30}}, {{60, 34}, {40, 26}, {61, 30}, {50, 35}}, -1},
        ShapeCase{"flat_ellipse_is_a_line", [](GraphicScreen &s) { s.ellipse(50, 30, 3, 0, false); },
                  {{47, 30}, {53, 30}}, {{50, 29}}, 7},
        // Corners (52,30) (60,18) (68,30) (60,42); each edge is 13 pixels
        // tall and the four share their corners: 4 * 13 - 4.
        ShapeCase{"rhombus", [](GraphicScreen &s) { s.rhombus(60, 30, 8, 12); },
                  {{52, 30}, {68, 30}, {60, 18}, {60, 42}, {56, 24}, {64, 24}, {56, 36}, {64, 36}},
                  {{60, 30}, {51, 30}, {60, 17}, {60, 43}}, 48},
        ShapeCase{"rhombus_clipped", [](GraphicScreen &s) { s.rhombus(0, 0, 8, 8); }, {{8, 0}, {0, 8}, {4, 4}},
                  {{1, 1}}, 9}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(GraphicText, GlyphsSitInSixByEightCellsFromTheTopLeft) {
    GraphicScreen s;
    s.set(5, 10);  // inside the first cell's blank column: cleared by the text
    s.text(0, 8, "A|");
    // 'A': the left stroke fills rows 1..6 of column 0, the crossbar is row 4.
    EXPECT_FALSE(s.pixel(0, 8));
    for (int y = 9; y <= 14; ++y) {
        EXPECT_TRUE(s.pixel(0, y)) << y;
    }
    EXPECT_FALSE(s.pixel(0, 15));
    EXPECT_TRUE(s.pixel(2, 8));   // apex
    EXPECT_TRUE(s.pixel(2, 12));  // crossbar
    EXPECT_FALSE(s.pixel(2, 10));
    EXPECT_FALSE(s.pixel(5, 10));
    // '|': one column, the third of the second cell, rows 0..6.
    EXPECT_TRUE(s.pixel(8, 8));
    EXPECT_TRUE(s.pixel(8, 14));
    EXPECT_FALSE(s.pixel(7, 10));
    EXPECT_FALSE(s.pixel(9, 10));
    EXPECT_FALSE(s.pixel(8, 15));
}

TEST(GraphicText, ClippedAtTheRightEdgeWithoutWrapping) {
    GraphicScreen s;
    s.text(234, 0, "AAA");
    EXPECT_TRUE(s.pixel(234, 1));  // first A, left stroke
    EXPECT_TRUE(s.pixel(236, 0));  // first A, apex
    EXPECT_FALSE(s.pixel(0, 1));   // nothing came round to the left side
    EXPECT_FALSE(s.pixel(0, 9));   // nor to the next text row
    for (int y = 0; y < kScreenHeight; ++y) {
        for (int x = 0; x < 234; ++x) {
            ASSERT_FALSE(s.pixel(x, y));
        }
    }
}

TEST(GraphicScreenClear, TurnsEveryPixelOff) {
    GraphicScreen s;
    s.rectangle(0, 0, 239, 63, true);
    ASSERT_EQ(s.count_on(), 240 * 64);
    s.clear();
    EXPECT_EQ(s.count_on(), 0);
}

}  // namespace
}  // namespace vq6120::sim
