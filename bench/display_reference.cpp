// Writes the display benchmark's reference screens (bench/display/*.screen):
// a text dashboard in two fonts (the terminal's own and DejaVu Sans), a bar
// graph, a dithered continuous-tone picture, an icon grid, and two update
// sequences (a digit, a bar). The files are committed; the benchmark and
// the tests read them, so the figures do not move with the fonts installed.
//   display_reference OUTPUT_DIR [FONT_DIR]
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "vq6120/display/render.hpp"
#include "vq6120/display/screen_file.hpp"

using namespace vq6120::display;

namespace {

std::string g_out, g_fonts = "/usr/share/fonts/truetype/dejavu";

std::unique_ptr<Font> font(const char *file, int size) {
    std::string error;
    auto f = Font::load(g_fonts + "/" + file, size, &error);
    if (!f) {
        std::fprintf(stderr, "%s\n", error.c_str());
        std::exit(1);
    }
    return f;
}

void save(const char *name, const Canvas &c, const char *note) {
    if (!write_screen(g_out + "/" + name + ".screen", c, note)) {
        std::fprintf(stderr, "cannot write %s\n", name);
        std::exit(1);
    }
}

void text(Canvas &c, int x, int y, const std::string &s) { c.draw_terminal_text(x, y, s.data(), static_cast<int>(s.size())); }

// The dashboard with the pressure showing `pressure`.
Canvas dashboard(const Font &big, const std::string &pressure) {
    Canvas c;
    text(c, 1, 0, "LINE 3 MIXER");
    text(c, 209, 0, "09:41");
    c.fill(0, 9, 239, 9);
    c.fill(79, 10, 79, 63);
    c.fill(159, 10, 159, 63);
    const char *labels[] = {"TEMP C", "PRESS bar", "FLOW l/min"};
    const std::string values[] = {"72.4", pressure, "118"};
    for (int i = 0; i < 3; ++i) {
        text(c, i * 80 + 4, 13, labels[i]);
        big.draw(c, i * 80 + 4, 24, values[i]);
    }
    text(c, 4, 55, "AUTO");
    text(c, 84, 55, "P1 ON P2 OFF");
    text(c, 164, 55, "ALARMS 0");
    return c;
}

Canvas bar_graph(const std::vector<int> &values) {
    Canvas c;
    text(c, 1, 0, "OUTPUT PER HOUR");
    text(c, 186, 0, "MAX 100");
    for (int y = 10; y < 64; y += 9) c.fill(0, y, 3, y);  // the scale's ticks
    draw_bar_graph(c, 5, 9, 235, 55, values, 100);
    return c;
}

Canvas picture() {
    GreyImage img{240, 64, std::vector<std::uint8_t>(240 * 64)};
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 240; ++x) {
            double v = 40 + 180.0 * x / 239 + 18 * std::sin(x / 9.0) * std::cos(y / 7.0);  // a lit slope
            const double dx = (x - 58) / 28.0, dy = (y - 32) / 28.0, r2 = dx * dx + dy * dy;
            if (r2 < 1) {  // a sphere lit from the top left
                const double nz = std::sqrt(1 - r2);
                v = 30 + 215 * std::max(0.0, (-0.5 * dx - 0.5 * dy + 0.7 * nz));
            }
            const double hx = (x - 170) / 40.0;
            if (y > 44 + 10 * hx * hx) v *= 0.45;  // a dark hill in front
            img.pixels[static_cast<std::size_t>(y * 240 + x)] = static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0));
        }
    }
    Canvas c;
    draw_image(c, 0, 0, img, Dither::FloydSteinberg);
    return c;
}

Canvas icons(const Font &symbols) {
    Canvas c;
    const char *glyphs[] = {"\u2699", "\u26A0", "\u2600", "\u2601", "\u2602", "\u260E", "\u2665", "\u2605",
                            "\u2708", "\u2709", "\u266B", "\u26A1", "\u2302", "\u2714", "\u2744", "\u263A"};
    for (int i = 0; i < 16; ++i) {
        const int x = (i % 8) * 30, y = (i / 8) * 32;
        c.fill(x, y, x + 29, y, true);
        c.fill(x, y + 31, x + 29, y + 31, true);
        c.fill(x, y, x, y + 31, true);
        c.fill(x + 29, y, x + 29, y + 31, true);
        const int w = symbols.measure(glyphs[i]);
        symbols.draw(c, x + (30 - w) / 2, y + 3, glyphs[i]);
    }
    return c;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: display_reference OUTPUT_DIR [FONT_DIR]\n");
        return 2;
    }
    g_out = argv[1];
    if (argc > 2) g_fonts = argv[2];
    const auto big = font("DejaVuSans-Bold.ttf", 22);
    const auto symbols = font("DejaVuSans.ttf", 22);
    save("dashboard", dashboard(*big, "3.2"), "text dashboard: the terminal's font and DejaVu Sans Bold 22 px");
    save("digit_added", dashboard(*big, "3.25"), "update: a digit added where the screen was blank");
    save("digit_changed", dashboard(*big, "3.26"), "update: the last digit changed, 5 to 6");
    const std::vector<int> bars = {35, 52, 61, 48, 70, 88, 93, 75, 66, 58, 41, 30};
    save("bar_graph", bar_graph(bars), "bar graph: 12 bars in a frame");
    std::vector<int> grown = bars, shrunk = bars;
    grown[4] = 80;
    save("bar_grown", bar_graph(grown), "update: bar 5 grows from 70 to 80");
    shrunk[4] = 60;
    save("bar_shrunk", bar_graph(shrunk), "update: bar 5 shrinks from 70 to 60");
    save("picture", picture(), "continuous-tone scene, Floyd-Steinberg dithered");
    save("icons", icons(*symbols), "icon grid: 16 DejaVu Sans symbols at 22 px in frames");
    return 0;
}
