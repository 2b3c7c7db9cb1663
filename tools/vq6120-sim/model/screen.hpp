// The terminal's one-bit graphic screen and the shapes drawn on it. Every
// drawing call sets pixels; anything outside the screen is clipped away.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

namespace vq6120::sim {

inline constexpr int kScreenWidth = 240;
inline constexpr int kScreenHeight = 64;

class GraphicScreen {
public:
    bool pixel(int x, int y) const noexcept;
    void set(int x, int y, bool on = true) noexcept;  // ignored off screen
    void clear() noexcept { bits_.fill(false); }
    int count_on() const noexcept;

    void line(int x1, int y1, int x2, int y2) noexcept;
    // Corners in any order; `filled` sets the interior too.
    void rectangle(int x1, int y1, int x2, int y2, bool filled) noexcept;
    void circle(int cx, int cy, int radius, bool filled) noexcept;
    // `a` is the horizontal half-axis, `b` the vertical one.
    void ellipse(int cx, int cy, int a, int b, bool filled) noexcept;
    // Outline through (cx-a, cy), (cx, cy-b), (cx+a, cy), (cx, cy+b).
    void rhombus(int cx, int cy, int a, int b) noexcept;
    // Text in 6x8 cells from the top-left corner (x, y): each cell is written
    // whole (glyph pixels on, the rest of the cell off); no wrapping.
    void text(int x, int y, std::string_view bytes) noexcept;

    bool operator==(const GraphicScreen &) const = default;

private:
    void span(int x1, int x2, int y) noexcept;
    // The four points (cx ± x, cy ± y), or the two spans between them.
    void mirror4(int cx, int cy, int x, int y, bool filled) noexcept;
    std::array<bool, kScreenWidth * kScreenHeight> bits_{};
};

}  // namespace vq6120::sim
