#include "model/snapshot.hpp"

// The PNG encoder is the header-only stb_image_write (Debian's libstb-dev),
// built here alone and kept private to this file: the same code on every
// system, with no library to cross-build for Windows.
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>

#include <cstdio>
#include <fstream>
#include <string_view>
#include <vector>

#include "model/font.hpp"

namespace vq6120::sim {
namespace {

// Appended piece by piece: g++ 12 at -O3 misreads `"+" + std::string(...)` as
// an overlapping copy (-Wrestrict) and a -Werror build would stop on it.
std::string framed_rule(int width) {
    std::string rule(static_cast<std::size_t>(width) + 3, '-');
    rule.front() = '+';
    rule[rule.size() - 2] = '+';
    rule.back() = '\n';
    return rule;
}

void dump_area(std::string &s, const TextArea &a) {
    s += framed_rule(a.columns());
    for (int r = 0; r < a.rows(); ++r) {
        s += '|';
        s += a.row_text(r);
        s += "|\n";
    }
    s += framed_rule(a.columns());
}

int inverse_cells(const TextArea &a) {
    int n = 0;
    for (int r = 0; r < a.rows(); ++r) {
        for (int c = 0; c < a.columns(); ++c) {
            n += a.at(c, r).inverse ? 1 : 0;
        }
    }
    return n;
}

std::string alive_state(const Terminal &t) {
    if (t.alive_seconds == 0) {
        return "off";
    }
    return std::to_string(t.alive_seconds) + " s, " + (t.host_lost ? "host lost" : "ok");
}

std::vector<std::string> state_lines(const Terminal &t, bool host_connected) {
    auto on = [](bool b) { return b ? "1" : "0"; };
    std::vector<std::string> lines;
    lines.push_back(std::string("host ") + (host_connected ? "connected" : "none"));
    lines.push_back(std::string("digital outputs ") + on(t.digital_out[0]) + " " + on(t.digital_out[1]));
    lines.push_back(std::string("digital inputs ") + on(t.digital_in[0]) + " " + on(t.digital_in[1]));
    lines.push_back("led " + std::to_string(t.led));
    lines.push_back(std::string("backlight ") + (t.backlight ? "on" : "off"));
    lines.push_back("beeper " + std::to_string(t.beeper[0]) + " " + std::to_string(t.beeper[1]) + " " +
                    std::to_string(t.beeper[2]) + ", beeps " + std::to_string(t.beeps));
    lines.push_back("auto report " + (t.report_time ? std::to_string(100 * t.report_time) + " ms" : "off"));
    lines.push_back("host alive " + alive_state(t) + ", signals " + std::to_string(t.alive_signals));
    for (int p = 1; p <= 2; ++p) {
        const SerialPort &sp = t.serial[static_cast<std::size_t>(p - 1)];
        lines.push_back("serial " + std::to_string(p) + " " + sp.describe() + ", tx " +
                        std::to_string(sp.bytes_from_host) + ", rx " + std::to_string(sp.bytes_to_host));
    }
    return lines;
}

// ---- PNG ----------------------------------------------------------------

struct Rgb {
    std::uint8_t r, g, b;
};

class Image {
public:
    Image(int w, int h, Rgb bg) : w_(w), h_(h), px_(static_cast<std::size_t>(w * h * 3)) { fill(0, 0, w, h, bg); }
    int width() const { return w_; }
    int height() const { return h_; }
    const std::vector<std::uint8_t> &data() const { return px_; }

    void fill(int x, int y, int w, int h, Rgb c) {
        for (int yy = std::max(y, 0); yy < std::min(y + h, h_); ++yy) {
            for (int xx = std::max(x, 0); xx < std::min(x + w, w_); ++xx) {
                auto *p = &px_[static_cast<std::size_t>((yy * w_ + xx) * 3)];
                p[0] = c.r;
                p[1] = c.g;
                p[2] = c.b;
            }
        }
    }
    // One glyph cell (6 x 8) per character, each font pixel `scale` wide.
    void glyph(int x, int y, std::uint8_t code, int scale, Rgb fg) {
        for (int row = 0; row < kGlyphHeight; ++row) {
            for (int col = 0; col < kGlyphWidth; ++col) {
                if (glyph_pixel(code, col, row)) {
                    fill(x + col * scale, y + row * scale, scale, scale, fg);
                }
            }
        }
    }
    void text(int x, int y, std::string_view s, int scale, Rgb fg) {
        for (const char c : s) {
            glyph(x, y, static_cast<std::uint8_t>(c), scale, fg);
            x += kCellWidth * scale;
        }
    }

private:
    int w_, h_;
    std::vector<std::uint8_t> px_;
};

constexpr int kScale = 3;
constexpr int kMargin = 16;
constexpr int kLabelScale = 2;
constexpr int kLabelHeight = kCellHeight * kLabelScale + 6;
constexpr int kBezel = 6;
constexpr Rgb kCase{0x2B, 0x2F, 0x36};
constexpr Rgb kBezelColour{0x10, 0x12, 0x14};
constexpr Rgb kLabel{0xD8, 0xDC, 0xE0};
constexpr Rgb kLampOff{0x50, 0x55, 0x5C};

struct Lcd {
    Rgb background, ink;
};
Lcd lcd_colours(bool backlight) {
    return backlight ? Lcd{{0xB8, 0xD8, 0x6A}, {0x1E, 0x2A, 0x12}} : Lcd{{0x4A, 0x55, 0x38}, {0x16, 0x1C, 0x10}};
}

// A panel of w x h LCD pixels, each drawn kScale wide, inside a bezel.
// Returns the top-left corner of the pixel area.
std::pair<int, int> panel(Image &img, int x, int y, int w, int h, const Lcd &lcd) {
    img.fill(x, y, w * kScale + 2 * kBezel, h * kScale + 2 * kBezel, kBezelColour);
    img.fill(x + kBezel, y + kBezel, w * kScale, h * kScale, lcd.background);
    return {x + kBezel, y + kBezel};
}

void draw_area(Image &img, int x0, int y0, const TextArea &a, const Lcd &lcd, bool show_cursor) {
    for (int r = 0; r < a.rows(); ++r) {
        for (int c = 0; c < a.columns(); ++c) {
            const auto &cell = a.at(c, r);
            const int x = x0 + c * kCellWidth * kScale, y = y0 + r * kCellHeight * kScale;
            Rgb fg = lcd.ink;
            if (cell.inverse) {
                img.fill(x, y, kCellWidth * kScale, kCellHeight * kScale, lcd.ink);
                fg = lcd.background;
            }
            img.glyph(x, y, cell.code, kScale, fg);
        }
    }
    if (show_cursor) {
        const int x = x0 + a.cursor_column() * kCellWidth * kScale;
        const int y = y0 + (a.cursor_row() * kCellHeight + kCellHeight - 1) * kScale;
        img.fill(x, y, kGlyphWidth * kScale, kScale, lcd.ink);
    }
}

void lamp(Image &img, int x, int y, std::string_view name, bool on, Rgb colour) {
    img.fill(x, y, 18, 18, kBezelColour);
    img.fill(x + 3, y + 3, 12, 12, on ? colour : kLampOff);
    img.text(x + 24, y + 2, name, kLabelScale, kLabel);
}

}  // namespace

std::string text_dump(const Terminal &t, bool host_connected) {
    std::string s = "graphic screen " + std::to_string(kScreenWidth) + "x" + std::to_string(kScreenHeight) + "\n";
    s += framed_rule(kScreenWidth);
    for (int y = 0; y < kScreenHeight; ++y) {
        s += '|';
        for (int x = 0; x < kScreenWidth; ++x) {
            s += t.graphic.pixel(x, y) ? '#' : '.';
        }
        s += "|\n";
    }
    s += framed_rule(kScreenWidth);
    s += "text screen " + std::to_string(t.text.columns()) + "x" + std::to_string(t.text.rows()) + ", cursor column " +
         std::to_string(t.text.cursor_column()) + " row " + std::to_string(t.text.cursor_row()) + ", inverse cells " +
         std::to_string(inverse_cells(t.text)) + "\n";
    dump_area(s, t.text);
    s += "keyboard display " + std::to_string(t.keyboard.columns()) + "x" + std::to_string(t.keyboard.rows()) +
         ", inverse cells " + std::to_string(inverse_cells(t.keyboard)) + "\n";
    dump_area(s, t.keyboard);
    for (const auto &line : state_lines(t, host_connected)) {
        s += line + "\n";
    }
    return s;
}

bool write_png(const Terminal &t, bool host_connected, const std::string &path, std::string &error) {
    const Lcd lcd = lcd_colours(t.backlight);
    const auto states = state_lines(t, host_connected);
    const int width = 2 * kMargin + kScreenWidth * kScale + 2 * kBezel;
    const int screen_h = kScreenHeight * kScale + 2 * kBezel;
    const int keyboard_h = Terminal::kKeyboardRows * kCellHeight * kScale + 2 * kBezel;
    const int height = kMargin + 3 * kLabelHeight + 2 * screen_h + keyboard_h + 3 * 12 + 30 +
                       static_cast<int>(states.size()) * (kCellHeight * kLabelScale + 4) + kMargin;
    Image img(width, height, kCase);

    int y = kMargin;
    img.text(kMargin, y, std::string(kModelName) + "  GRAPHIC SCREEN", kLabelScale, kLabel);
    y += kLabelHeight;
    auto [gx, gy] = panel(img, kMargin, y, kScreenWidth, kScreenHeight, lcd);
    for (int py = 0; py < kScreenHeight; ++py) {
        for (int px = 0; px < kScreenWidth; ++px) {
            if (t.graphic.pixel(px, py)) {
                img.fill(gx + px * kScale, gy + py * kScale, kScale, kScale, lcd.ink);
            }
        }
    }
    y += screen_h + 12;

    img.text(kMargin, y, "TEXT SCREEN", kLabelScale, kLabel);
    y += kLabelHeight;
    auto [tx, ty] = panel(img, kMargin, y, Terminal::kTextColumns * kCellWidth, Terminal::kTextRows * kCellHeight, lcd);
    draw_area(img, tx, ty, t.text, lcd, true);
    y += screen_h + 12;

    img.text(kMargin, y, "KEYBOARD DISPLAY", kLabelScale, kLabel);
    y += kLabelHeight;
    auto [kx, ky] = panel(img, kMargin, y, Terminal::kKeyboardColumns * kCellWidth,
                          Terminal::kKeyboardRows * kCellHeight, lcd);
    draw_area(img, kx, ky, t.keyboard, lcd, false);
    y += keyboard_h + 12;

    constexpr Rgb kGreen{0x3C, 0xE0, 0x5A}, kAmber{0xFF, 0xB0, 0x20}, kRed{0xF0, 0x40, 0x30};
    int x = kMargin;
    lamp(img, x, y, "DO1", t.digital_out[0], kRed);
    lamp(img, x += 110, y, "DO2", t.digital_out[1], kRed);
    lamp(img, x += 110, y, "DI1", t.digital_in[0], kGreen);
    lamp(img, x += 110, y, "DI2", t.digital_in[1], kGreen);
    lamp(img, x += 110, y, "LED", t.led != 0, kAmber);
    lamp(img, x += 110, y, "LIGHT", t.backlight, kAmber);
    y += 30;
    for (const auto &line : states) {
        img.text(kMargin, y, line, kLabelScale, kLabel);
        y += kCellHeight * kLabelScale + 4;
    }

    if (stbi_write_png(path.c_str(), img.width(), img.height(), 3, img.data().data(), img.width() * 3) == 0) {
        error = "cannot write " + path;
        return false;
    }
    return true;
}

SnapshotKind snapshot_kind(std::string_view path) {
    if (path.ends_with(".png")) {
        return SnapshotKind::Png;
    }
    if (path.ends_with(".txt")) {
        return SnapshotKind::Text;
    }
    return SnapshotKind::Unknown;
}

bool write_snapshot(const Terminal &t, bool host_connected, const std::string &path, std::string &error) {
    switch (snapshot_kind(path)) {
    case SnapshotKind::Png:
        return write_png(t, host_connected, path, error);
    case SnapshotKind::Text: {
        std::ofstream file(path, std::ios::binary | std::ios::trunc);
        file << text_dump(t, host_connected);
        file.close();
        if (!file) {
            error = "cannot write the file";
            return false;
        }
        return true;
    }
    case SnapshotKind::Unknown:
        break;
    }
    error = kSnapshotKinds;
    return false;
}

}  // namespace vq6120::sim
