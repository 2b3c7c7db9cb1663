// The terminal's graphic screen as the host wants it: 240 x 64 pixels, one
// bit each, and the terminal text drawn on it. Pure computation, no heap:
// the library's C export builds one on its stack.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace vq6120::screen {

inline constexpr int kWidth = 240;
inline constexpr int kHeight = 64;
inline constexpr int kWordsPerRow = 4;  // 256 bits; bits 240..255 stay 0

// One pixel row: bit x % 64 of word x / 64 is pixel x (the leftmost pixel is
// bit 0 of word 0).
using Row = std::array<std::uint64_t, kWordsPerRow>;

// The bits of pixels l..r of a row (clipped to the screen; empty when l > r).
Row span_mask(int l, int r) noexcept;

// A plane of bits: what the encoder works on.
struct Plane {
    std::array<Row, kHeight> rows{};

    bool get(int x, int y) const noexcept {
        if (x < 0 || x >= kWidth || y < 0 || y >= kHeight) return false;
        return (rows[static_cast<std::size_t>(y)][static_cast<std::size_t>(x >> 6)] >> (x & 63) & 1U) != 0;
    }
    void set(int x, int y, bool on = true) noexcept;
    // Pixels x1..x2 of rows y1..y2, corners in any order, clipped.
    void fill(int x1, int y1, int x2, int y2, bool on = true) noexcept;
    bool empty() const noexcept;
    int count() const noexcept;
    bool operator==(const Plane &) const = default;
};

// A run of terminal text as drawn on the canvas: the encoder may send it as
// the terminal's own text command.
inline constexpr int kMaxTextLength = 40;  // 40 cells span the screen
struct TerminalText {
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::uint8_t length = 0;
    char text[kMaxTextLength] = {};
};
inline constexpr int kMaxTexts = 64;

class Canvas {
public:
    const Plane &plane() const noexcept { return plane_; }
    bool get(int x, int y) const noexcept { return plane_.get(x, y); }
    void set(int x, int y, bool on = true) noexcept { plane_.set(x, y, on); }
    void fill(int x1, int y1, int x2, int y2, bool on = true) noexcept { plane_.fill(x1, y1, x2, y2, on); }
    // Every pixel off and no terminal text.
    void clear() noexcept;

    // Terminal text with the top-left corner of its first cell at (x, y):
    // each 6 x 8 cell is drawn whole, the glyph's pixels on and the rest of
    // the cell off, clipped at the screen's edges. Text at a position the
    // terminal's text command accepts (x 0..239, y 0..63) is remembered, the
    // last kMaxTexts runs, so the encoder may send it as text; bytes past
    // the 40th lie off the screen and are dropped.
    void draw_terminal_text(int x, int y, const char *text, int length) noexcept;
    std::span<const TerminalText> texts() const noexcept {
        return std::span(texts_).first(static_cast<std::size_t>(text_count_));
    }

    // The bits of a bitmap at (x, y): rows top to bottom, `stride` bytes
    // apart; in each row the most significant bit of the first byte is the
    // leftmost pixel. Set bits turn pixels on; clear bits turn them off when
    // `opaque`, else leave them. Clipped at the screen's edges.
    void blit(int x, int y, int width, int height, const std::uint8_t *bits, std::ptrdiff_t stride,
              bool opaque) noexcept;

    // Pixels only: two canvases showing the same are equal.
    bool operator==(const Canvas &other) const noexcept { return plane_ == other.plane_; }

private:
    Plane plane_;
    std::array<TerminalText, kMaxTexts> texts_{};
    int text_count_ = 0;
};

}  // namespace vq6120::screen
