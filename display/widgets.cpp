// The widgets: frames and fills from the canvas's rectangles, text from a
// font.
#include <algorithm>

#include "vq6120/display/render.hpp"

namespace vq6120::display {

namespace {

void frame(Canvas &c, int x, int y, int w, int h) {
    c.fill(x, y, x + w - 1, y);
    c.fill(x, y + h - 1, x + w - 1, y + h - 1);
    c.fill(x, y, x, y + h - 1);
    c.fill(x + w - 1, y, x + w - 1, y + h - 1);
}

int part(int value, int maximum, int of) {
    if (maximum <= 0) return 0;
    return std::clamp(value, 0, maximum) * of / maximum;
}

}  // namespace

void draw_bar_graph(Canvas &c, int x, int y, int width, int height, const std::vector<int> &values, int maximum) {
    c.fill(x, y, x + width - 1, y + height - 1, false);
    frame(c, x, y, width, height);
    if (values.empty()) return;
    const int inner_w = width - 4, inner_h = height - 4;
    const int slot = inner_w / static_cast<int>(values.size());
    const int bar = std::max(1, slot * 2 / 3);
    for (std::size_t i = 0; i < values.size(); ++i) {
        const int left = x + 2 + static_cast<int>(i) * slot + (slot - bar) / 2;
        const int filled = part(values[i], maximum, inner_h);
        if (filled > 0) c.fill(left, y + height - 2 - filled, left + bar - 1, y + height - 3);
    }
}

void draw_level_bar(Canvas &c, int x, int y, int width, int height, int value, int maximum) {
    c.fill(x, y, x + width - 1, y + height - 1, false);
    frame(c, x, y, width, height);
    const int filled = part(value, maximum, width - 4);
    if (filled > 0) c.fill(x + 2, y + 2, x + 1 + filled, y + height - 3);
}

void draw_big_value(Canvas &c, int right_x, int y, int width, const Font &big, std::string_view value,
                    const Font &small, std::string_view unit) {
    c.fill(right_x - width + 1, y, right_x, y + big.line_height() - 1, false);
    const int unit_w = small.measure(unit);
    const int value_w = big.measure(value);
    big.draw(c, right_x - unit_w - 1 - value_w, y, value);
    // The unit sits on the value's baseline.
    small.draw(c, right_x - unit_w + 1, y + big.ascent() - small.ascent(), unit);
}

void draw_menu(Canvas &c, int x, int y, int width, const Font &font, const std::vector<std::string> &items,
               int selected) {
    const int h = font.line_height();
    for (std::size_t i = 0; i < items.size(); ++i) {
        const int top = y + static_cast<int>(i) * h;
        const bool chosen = static_cast<int>(i) == selected;
        c.fill(x, top, x + width - 1, top + h - 1, chosen);
        font.draw(c, x + 2, top, items[i], !chosen);
    }
}

}  // namespace vq6120::display
