// The plan: an optional clear, the terminal text still worth sending, with
// the option the erasing runs of spaces, then a greedy cover of the pixels
// still to turn on by filled rectangles, lines and single pixels, each of
// which may also cover pixels that are on already and wanted on.
#include "vq6120/screen/encoder.hpp"

#include <algorithm>
#include <bit>

#include "vq6120/screen/terminal_font.hpp"
#include "../transport/frame_codec.hpp"

namespace vq6120::screen {
namespace {


struct Emitter {
    CommandSink sink;
    void *context;
    EncodeResult result;

    void emit(const Command &c) noexcept {
        ++result.commands;
        result.bytes += frame_bytes(c);
        if (sink != nullptr) sink(context, c);
    }
};

Command command(Op op, int x1, int y1, int x2, int y2) noexcept {
    Command c;
    c.op = op;
    c.x1 = static_cast<std::int16_t>(x1);
    c.y1 = static_cast<std::int16_t>(y1);
    c.x2 = static_cast<std::int16_t>(x2);
    c.y2 = static_cast<std::int16_t>(y2);
    return c;
}

Command text_command(int x, int y, const char *text, int length) noexcept {
    Command c = command(Op::Text, x, y, x, y);
    c.text = text;
    c.length = static_cast<std::uint8_t>(length);
    return c;
}

bool any(const Row &row) noexcept { return (row[0] | row[1] | row[2] | row[3]) != 0; }

int count(const Row &row) noexcept {
    return std::popcount(row[0]) + std::popcount(row[1]) + std::popcount(row[2]) + std::popcount(row[3]);
}

Row operator&(const Row &a, const Row &b) noexcept { return {a[0] & b[0], a[1] & b[1], a[2] & b[2], a[3] & b[3]}; }
Row operator|(const Row &a, const Row &b) noexcept { return {a[0] | b[0], a[1] | b[1], a[2] | b[2], a[3] | b[3]}; }
// Word 3 holds pixels 192..239 in its low 48 bits.
Row operator~(const Row &a) noexcept { return {~a[0], ~a[1], ~a[2], ~a[3] & 0xFFFF'FFFF'FFFFULL}; }

// The last pixel of the run of set bits holding pixel x.
int run_right(const Row &row, int x) noexcept {
    std::size_t w = static_cast<std::size_t>(x >> 6);
    std::uint64_t gaps = ~row[w] & (~std::uint64_t{0} << (x & 63));
    while (gaps == 0) {
        if (++w == kWordsPerRow) return kWidth - 1;
        gaps = ~row[w];
    }
    return std::min(static_cast<int>(w) * 64 + std::countr_zero(gaps) - 1, kWidth - 1);
}

// The first pixel of the run of set bits holding pixel x.
int run_left(const Row &row, int x) noexcept {
    std::size_t w = static_cast<std::size_t>(x >> 6);
    std::uint64_t gaps = ~row[w] & ((std::uint64_t{1} << (x & 63)) - 1);
    while (gaps == 0) {
        if (w == 0) return 0;
        gaps = ~row[--w];
    }
    return static_cast<int>(w) * 64 + 63 - std::countl_zero(gaps) + 1;
}

// One text cell at (x, y): per cell row, the glyph's pixels and the cell's.
struct Cell {
    Row glyph[kCellHeight];
    Row area[kCellHeight];
    int top;
};

Cell cell_at(std::uint8_t code, int x, int y) noexcept {
    Cell c{};
    c.top = y;
    for (int r = 0; r < kCellHeight; ++r) {
        Plane line;  // row 0 of a scratch plane
        for (int col = 0; col < kCellWidth; ++col) {
            if (glyph_pixel(code, col, r)) line.set(x + col, 0);
        }
        c.glyph[r] = line.rows[0];
        c.area[r] = y + r < kHeight ? span_mask(x, x + kCellWidth - 1) : Row{};
    }
    return c;
}

enum class Use : std::uint8_t { Useful, Harmless, Barred };

// What sending this cell now would do.
Use judge(const Cell &c, const Plane &current, const Plane &wanted, bool cells_whole) noexcept {
    bool useful = false, harmless = true;
    for (int r = 0; r < kCellHeight && c.top + r < kHeight; ++r) {
        const Row &now = current.rows[static_cast<std::size_t>(c.top + r)];
        const Row &want = wanted.rows[static_cast<std::size_t>(c.top + r)];
        if (any(c.glyph[r] & ~want)) return Use::Barred;  // it would light a pixel wanted off
        const Row background = c.area[r] & ~c.glyph[r];
        if (any(c.glyph[r] & ~now)) useful = true;
        if (any(background & now)) {
            harmless = false;
            // With whole cells, sending it erases what is wanted off.
            if (cells_whole && any(background & now & ~want)) useful = true;
        }
    }
    if (useful) return Use::Useful;
    return harmless ? Use::Harmless : Use::Barred;
}

// After the cell is sent: its glyph is on; the rest of the cell is off, or
// (not knowing whether the terminal clears it) counted as off, so that what
// is wanted on there is drawn again.
void apply(const Cell &c, Plane &current) noexcept {
    for (int r = 0; r < kCellHeight && c.top + r < kHeight; ++r) {
        Row &now = current.rows[static_cast<std::size_t>(c.top + r)];
        now = (now & ~c.area[r]) | c.glyph[r];
    }
}

void send_texts(std::span<const TerminalText> texts, Plane &current, const Plane &wanted, bool cells_whole,
                Emitter &out) noexcept {
    for (const TerminalText &t : texts) {
        Use use[kMaxTextLength];
        for (int i = 0; i < t.length; ++i) {
            use[i] = judge(cell_at(static_cast<std::uint8_t>(t.text[i]), t.x + i * kCellWidth, t.y), current,
                           wanted, cells_whole);
        }
        // Runs from a useful cell to the last useful one before a barred
        // cell; harmless cells between cost a byte each, less than a frame.
        for (int i = 0; i < t.length;) {
            if (use[i] != Use::Useful) {
                ++i;
                continue;
            }
            int end = i, j = i;
            while (j < t.length && use[j] != Use::Barred) {
                if (use[j] == Use::Useful) end = j;
                ++j;
            }
            for (int k = i; k <= end; ++k) {
                apply(cell_at(static_cast<std::uint8_t>(t.text[k]), t.x + k * kCellWidth, t.y), current);
            }
            out.emit(text_command(t.x + i * kCellWidth, t.y, t.text + i, end - i + 1));
            i = j;
        }
    }
}

// With whole cells: runs of spaces over every pixel on that is wanted off.
// Each run starts at the top-left pixel still to erase and lies wholly on
// the screen; it grows by cells while the next cell has more to erase.
void erase_with_spaces(Plane &current, const Plane &wanted, Emitter &out) noexcept {
    static constexpr char kSpaces[kMaxTextLength + 1] = "                                        ";
    for (int y = 0; y < kHeight; ++y) {
        for (;;) {
            const Row stale = current.rows[static_cast<std::size_t>(y)] & ~wanted.rows[static_cast<std::size_t>(y)];
            if (!any(stale)) break;
            int w = 0;
            while (stale[static_cast<std::size_t>(w)] == 0) ++w;
            const int x = std::min(w * 64 + std::countr_zero(stale[static_cast<std::size_t>(w)]), kWidth - kCellWidth);
            const int top = std::min(y, kHeight - kCellHeight);
            auto stale_in = [&](int left) {
                const Row mask = span_mask(left, left + kCellWidth - 1);
                for (int r = top; r < top + kCellHeight; ++r) {
                    const auto i = static_cast<std::size_t>(r);
                    if (any(current.rows[i] & ~wanted.rows[i] & mask)) return true;
                }
                return false;
            };
            int cells = 1;
            while (x + (cells + 1) * kCellWidth <= kWidth && stale_in(x + cells * kCellWidth)) ++cells;
            current.fill(x, top, x + cells * kCellWidth - 1, top + kCellHeight - 1, false);
            out.emit(text_command(x, top, kSpaces, cells));
        }
    }
}

// Greedy cover: from the top-left pixel still to turn on, the rectangle of
// wanted pixels that turns on the most of them (for each height the widest
// through that pixel); a single pixel when it would turn on only that one.
void cover(Plane &todo, const Plane &allowed, Emitter &out) noexcept {
    for (int y = 0; y < kHeight; ++y) {
        for (std::size_t w = 0; w < kWordsPerRow; ++w) {
            while (todo.rows[static_cast<std::size_t>(y)][w] != 0) {
                const int x = static_cast<int>(w) * 64 + std::countr_zero(todo.rows[static_cast<std::size_t>(y)][w]);
                if (!allowed.get(x + 1, y) && !allowed.get(x, y + 1)) {  // no rectangle holds more
                    out.emit(command(Op::Pixel, x, y, x, y));
                    todo.set(x, y, false);
                    continue;
                }
                int l = run_left(allowed.rows[static_cast<std::size_t>(y)], x);
                int r = run_right(allowed.rows[static_cast<std::size_t>(y)], x);
                Row mask = span_mask(l, r);
                int sum = 0, best = 0, best_l = x, best_r = x, best_bottom = y;
                for (int yy = y; yy < kHeight && allowed.get(x, yy); ++yy) {
                    const Row &row = allowed.rows[static_cast<std::size_t>(yy)];
                    const int nl = std::max(l, run_left(row, x)), nr = std::min(r, run_right(row, x));
                    if (nl != l || nr != r) {
                        l = nl;
                        r = nr;
                        mask = span_mask(l, r);
                        sum = 0;
                        for (int k = y; k < yy; ++k) sum += count(todo.rows[static_cast<std::size_t>(k)] & mask);
                    }
                    sum += count(todo.rows[static_cast<std::size_t>(yy)] & mask);
                    if (sum > best) {
                        best = sum;
                        best_l = l;
                        best_r = r;
                        best_bottom = yy;
                    }
                }
                if (best == 1) {
                    out.emit(command(Op::Pixel, x, y, x, y));
                } else {
                    const bool thin = best_l == best_r || best_bottom == y;
                    out.emit(command(thin ? Op::Line : Op::Rectangle, best_l, y, best_r, best_bottom));
                }
                todo.fill(best_l, y, best_r, best_bottom, false);
            }
        }
    }
}

EncodeResult plan(const Plane &shown, const Plane &wanted, std::span<const TerminalText> texts, bool clear_first,
                  bool cells_whole, CommandSink sink, void *context) noexcept {
    Emitter out{sink, context, {}};
    Plane current = clear_first ? Plane{} : shown;
    if (clear_first) {
        out.emit(command(Op::Clear, 0, 0, 0, 0));
        out.result.cleared = true;
    }
    send_texts(texts, current, wanted, cells_whole, out);
    if (cells_whole) erase_with_spaces(current, wanted, out);
    Plane todo;
    for (std::size_t y = 0; y < kHeight; ++y) todo.rows[y] = wanted.rows[y] & ~current.rows[y];
    cover(todo, wanted, out);
    return out.result;
}

}  // namespace

int frame_bytes(int payload_bytes) noexcept { return static_cast<int>(kHeaderSize) + payload_bytes; }

int frame_bytes(const Command &c) noexcept {
    constexpr int kValue = 2;  // each coordinate is a 16-bit value; text follows its position
    switch (c.op) {
    case Op::Clear: return frame_bytes(0);
    case Op::Pixel: return frame_bytes(2 * kValue);
    case Op::Line:
    case Op::Rectangle: return frame_bytes(4 * kValue);
    case Op::Text: return frame_bytes(2 * kValue + c.length);
    }
    return frame_bytes(0);
}

EncodeResult encode(const Plane &shown, const Plane &wanted, std::span<const TerminalText> texts,
                    const EncodeOptions &options, CommandSink sink, void *context) noexcept {
    bool stale = false;
    for (std::size_t y = 0; y < kHeight && !stale; ++y) stale = any(shown.rows[y] & ~wanted.rows[y]);
    if (!stale || !options.text_erases_cells) {
        return plan(shown, wanted, texts, stale, options.text_erases_cells, sink, context);
    }
    // Erasing by spaces or clearing and drawing anew: whichever is smaller.
    const EncodeResult in_place = plan(shown, wanted, texts, false, true, nullptr, nullptr);
    const EncodeResult anew = plan(shown, wanted, texts, true, true, nullptr, nullptr);
    return plan(shown, wanted, texts, anew.bytes < in_place.bytes, true, sink, context);
}

}  // namespace vq6120::screen
