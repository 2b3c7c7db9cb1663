// Fonts and pictures rendered as expected: compared with committed pictures
// (tests/display/expected/*.screen, looked at when they were made), not with
// this code's own output at run time. VQ6120_WRITE_EXPECTED=1 rewrites them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "vq6120/display/render.hpp"
#include "vq6120/display/screen_file.hpp"

namespace vq6120::display {
namespace {

const std::string kExpected = VQ6120_EXPECTED_DIR;
const std::string kFonts = "/usr/share/fonts/truetype/dejavu/";

void matches(const Canvas &got, const std::string &name) {
    const std::string path = kExpected + "/" + name + ".screen";
    if (std::getenv("VQ6120_WRITE_EXPECTED") != nullptr) {
        ASSERT_TRUE(write_screen(path, got, name));
    }
    Canvas want;
    std::string error;
    ASSERT_TRUE(read_screen(path, want, &error)) << error;
    for (int y = 0; y < screen::kHeight; ++y) {
        for (int x = 0; x < screen::kWidth; ++x) {
            ASSERT_EQ(got.get(x, y), want.get(x, y)) << name << " differs at " << x << "," << y;
        }
    }
}

TEST(Render, GlyphsInTwoFontsAndSizes) {
    std::string error;
    const auto sans = Font::load(kFonts + "DejaVuSans.ttf", 22, &error);
    ASSERT_TRUE(sans) << error;
    const auto bold = Font::load(kFonts + "DejaVuSans-Bold.ttf", 12, &error);
    ASSERT_TRUE(bold) << error;
    Canvas c;
    EXPECT_EQ(sans->draw(c, 2, 0, "Ag"), sans->measure("Ag"));
    bold->draw(c, 60, 4, "Ag 3.5\xC2\xB0" "C");  // U+00B0 DEGREE SIGN as UTF-8
    c.fill(100, 30, 239, 63);
    sans->draw(c, 104, 34, "Inverse", false);
    matches(c, "glyphs");
    EXPECT_FALSE(Font::load(kExpected + "/ramp.pgm", 12, &error)) << "a picture is no font";
    EXPECT_FALSE(Font::load(kFonts + "DejaVuSans.ttf", 0, &error));
}

TEST(Render, APictureThresholdedDitheredAndScaled) {
    std::string error;
    const GreyImage ramp = load_grey(kExpected + "/ramp.pgm", &error);
    ASSERT_EQ(ramp.width, 64) << error;
    ASSERT_EQ(ramp.height, 32);
    Canvas c;
    draw_image(c, 0, 0, ramp, Dither::Threshold);
    draw_image(c, 80, 0, ramp, Dither::FloydSteinberg);
    draw_image(c, 160, 0, ramp, Dither::Ordered);
    draw_image(c, 0, 40, scale(ramp, 32, 16), Dither::Threshold);
    draw_image(c, 80, 40, scale(ramp, 128, 24), Dither::Ordered);
    matches(c, "picture");
    EXPECT_EQ(load_grey(kExpected + "/missing.png", &error).width, 0);
}

}  // namespace
}  // namespace vq6120::display
