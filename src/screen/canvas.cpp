#include "vq6120/screen/canvas.hpp"

#include <algorithm>
#include <bit>

#include "vq6120/screen/terminal_font.hpp"

namespace vq6120::screen {

Row span_mask(int l, int r) noexcept {
    Row mask{};
    l = std::max(l, 0);
    r = std::min(r, kWidth - 1);
    for (int w = 0; w < kWordsPerRow && l <= r; ++w) {
        const int lo = std::max(l, w * 64), hi = std::min(r, w * 64 + 63);
        if (lo <= hi) {
            mask[static_cast<std::size_t>(w)] = (~std::uint64_t{0} >> (63 - (hi - lo))) << (lo - w * 64);
        }
    }
    return mask;
}

void Plane::set(int x, int y, bool on) noexcept {
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight) return;
    auto &word = rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x >> 6)];
    const std::uint64_t bit = std::uint64_t{1} << (x & 63);
    word = on ? word | bit : word & ~bit;
}

void Plane::fill(int x1, int y1, int x2, int y2, bool on) noexcept {
    const Row mask = span_mask(std::min(x1, x2), std::max(x1, x2));
    for (int y = std::max(std::min(y1, y2), 0); y <= std::min(std::max(y1, y2), kHeight - 1); ++y) {
        for (std::size_t w = 0; w < kWordsPerRow; ++w) {
            auto &word = rows[static_cast<std::size_t>(y)][w];
            word = on ? word | mask[w] : word & ~mask[w];
        }
    }
}

bool Plane::empty() const noexcept {
    for (const Row &row : rows) {
        for (const std::uint64_t word : row) {
            if (word != 0) return false;
        }
    }
    return true;
}

int Plane::count() const noexcept {
    int n = 0;
    for (const Row &row : rows) {
        for (const std::uint64_t word : row) n += std::popcount(word);
    }
    return n;
}

void Canvas::clear() noexcept {
    plane_ = Plane{};
    text_count_ = 0;
}

void Canvas::draw_terminal_text(int x, int y, const char *text, int length) noexcept {
    if (text == nullptr || length <= 0) return;
    length = std::min(length, kMaxTextLength);
    for (int i = 0; i < length; ++i) {
        const auto code = static_cast<std::uint8_t>(text[i]);
        for (int row = 0; row < kCellHeight; ++row) {
            for (int col = 0; col < kCellWidth; ++col) {
                plane_.set(x + i * kCellWidth + col, y + row, glyph_pixel(code, col, row));
            }
        }
    }
    if (x < 0 || x >= kWidth || y < 0 || y >= kHeight) return;
    // Text redrawn in place (a value that changes) replaces the old run.
    const auto same_place = std::find_if(texts_.begin(), texts_.begin() + text_count_,
                                         [&](const TerminalText &t) { return t.x == x && t.y == y; });
    if (same_place != texts_.begin() + text_count_) {
        std::copy(same_place + 1, texts_.begin() + text_count_, same_place);
        --text_count_;
    }
    if (text_count_ == kMaxTexts) {  // the oldest run is forgotten (its pixels stay)
        std::copy(texts_.begin() + 1, texts_.end(), texts_.begin());
        --text_count_;
    }
    TerminalText &t = texts_[static_cast<std::size_t>(text_count_++)];
    t.x = static_cast<std::int16_t>(x);
    t.y = static_cast<std::int16_t>(y);
    t.length = static_cast<std::uint8_t>(std::min(length, (kWidth - x + kCellWidth - 1) / kCellWidth));
    std::copy(text, text + t.length, t.text);
}

void Canvas::blit(int x, int y, int width, int height, const std::uint8_t *bits, std::ptrdiff_t stride,
                  bool opaque) noexcept {
    if (bits == nullptr) return;
    for (int row = 0; row < height; ++row) {
        if (y + row < 0 || y + row >= kHeight) continue;
        const std::uint8_t *line = bits + row * stride;
        for (int col = 0; col < width; ++col) {
            const bool on = (line[col >> 3] >> (7 - (col & 7)) & 1U) != 0;
            if (on || opaque) plane_.set(x + col, y + row, on);
        }
    }
}

}  // namespace vq6120::screen
