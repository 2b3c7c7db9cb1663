#include "model/screen.hpp"

#include <algorithm>
#include <cstdlib>

#include "model/font.hpp"

namespace vq6120::sim {

bool GraphicScreen::pixel(int x, int y) const noexcept {
    if (x < 0 || x >= kScreenWidth || y < 0 || y >= kScreenHeight) {
        return false;
    }
    return bits_[static_cast<std::size_t>(y * kScreenWidth + x)];
}

void GraphicScreen::set(int x, int y, bool on) noexcept {
    if (x < 0 || x >= kScreenWidth || y < 0 || y >= kScreenHeight) {
        return;
    }
    bits_[static_cast<std::size_t>(y * kScreenWidth + x)] = on;
}

int GraphicScreen::count_on() const noexcept {
    return static_cast<int>(std::count(bits_.begin(), bits_.end(), true));
}

// Clipped first, so shapes far larger than the screen (the raw-frame path can
// send any 16-bit value) cost no more than the screen width.
void GraphicScreen::span(int x1, int x2, int y) noexcept {
    if (y < 0 || y >= kScreenHeight) {
        return;
    }
    if (x1 > x2) {
        std::swap(x1, x2);
    }
    x1 = std::max(x1, 0);
    x2 = std::min(x2, kScreenWidth - 1);
    for (int x = x1; x <= x2; ++x) {
        set(x, y);
    }
}

// Bresenham over all octants with integer error terms.
void GraphicScreen::line(int x1, int y1, int x2, int y2) noexcept {
    const int dx = std::abs(x2 - x1);
    const int dy = -std::abs(y2 - y1);
    const int sx = x1 < x2 ? 1 : -1;
    const int sy = y1 < y2 ? 1 : -1;
    int err = dx + dy;
    for (;;) {
        set(x1, y1);
        if (x1 == x2 && y1 == y2) {
            break;
        }
        const int e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x1 += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y1 += sy;
        }
    }
}

void GraphicScreen::rectangle(int x1, int y1, int x2, int y2, bool filled) noexcept {
    const int left = std::min(x1, x2), right = std::max(x1, x2);
    const int top = std::min(y1, y2), bottom = std::max(y1, y2);
    for (int y = std::max(top, 0); y <= std::min(bottom, kScreenHeight - 1); ++y) {
        if (filled || y == top || y == bottom) {
            span(left, right, y);
        } else {
            set(left, y);
            set(right, y);
        }
    }
}

void GraphicScreen::mirror4(int cx, int cy, int x, int y, bool filled) noexcept {
    if (filled) {
        span(cx - x, cx + x, cy + y);
        span(cx - x, cx + x, cy - y);
    } else {
        set(cx + x, cy + y);
        set(cx - x, cy + y);
        set(cx + x, cy - y);
        set(cx - x, cy - y);
    }
}

// Midpoint circle: the eight symmetric points of each step, or the four
// horizontal spans between them when filled.
void GraphicScreen::circle(int cx, int cy, int radius, bool filled) noexcept {
    int x = radius, y = 0;
    int err = 1 - radius;
    while (x >= y) {
        mirror4(cx, cy, x, y, filled);
        mirror4(cx, cy, y, x, filled);
        ++y;
        if (err < 0) {
            err += 2 * y + 1;
        } else {
            --x;
            err += 2 * (y - x) + 1;
        }
    }
}

// Midpoint ellipse in two regions, in 64-bit integers (a, b <= 32 keeps the
// terms small, but the SendData path can bring values up to 65535).
void GraphicScreen::ellipse(int cx, int cy, int a, int b, bool filled) noexcept {
    if (a == 0 || b == 0) {
        // Degenerate: a straight run along the other axis.
        line(cx - a, cy - b, cx + a, cy + b);
        return;
    }
    const std::int64_t a2 = std::int64_t{a} * a, b2 = std::int64_t{b} * b;
    std::int64_t x = 0, y = b;
    // Region 1: slope above -1, step x.
    std::int64_t d1 = 4 * b2 - 4 * a2 * b + a2;  // 4 * (b2 - a2*b + a2/4)
    while (b2 * x <= a2 * y) {
        mirror4(cx, cy, static_cast<int>(x), static_cast<int>(y), filled);
        if (d1 < 0) {
            d1 += 4 * b2 * (2 * x + 3);
        } else {
            d1 += 4 * b2 * (2 * x + 3) + 4 * a2 * (-2 * y + 2);
            --y;
        }
        ++x;
    }
    // Region 2: slope below -1, step y. d2 is scaled by 4 as d1.
    std::int64_t d2 = b2 * (2 * x + 1) * (2 * x + 1) + 4 * a2 * (y - 1) * (y - 1) - 4 * a2 * b2;
    while (y >= 0) {
        mirror4(cx, cy, static_cast<int>(x), static_cast<int>(y), filled);
        if (d2 > 0) {
            d2 += 4 * a2 * (-2 * y + 3);
        } else {
            d2 += 4 * b2 * (2 * x + 2) + 4 * a2 * (-2 * y + 3);
            ++x;
        }
        --y;
    }
}

void GraphicScreen::rhombus(int cx, int cy, int a, int b) noexcept {
    line(cx - a, cy, cx, cy - b);
    line(cx, cy - b, cx + a, cy);
    line(cx + a, cy, cx, cy + b);
    line(cx, cy + b, cx - a, cy);
}

void GraphicScreen::text(int x, int y, std::string_view bytes) noexcept {
    for (const char c : bytes) {
        if (x >= kScreenWidth) {
            break;
        }
        const auto code = static_cast<std::uint8_t>(c);
        for (int row = 0; row < kCellHeight; ++row) {
            for (int col = 0; col < kCellWidth; ++col) {
                set(x + col, y + row, glyph_pixel(code, col, row));
            }
        }
        x += kCellWidth;
    }
}

}  // namespace vq6120::sim
