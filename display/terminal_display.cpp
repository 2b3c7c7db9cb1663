// sync(): the graphic screen through the encoder; the text screen by runs of
// changed cells (cursor, then the run), or cleared and written anew when
// that is smaller; the keyboard display, which has no cursor command,
// cleared and written whole when any cell changed; then the lamps and
// outputs that differ.
#include "vq6120/display/terminal_display.hpp"

#include <algorithm>

#include "vq6120/screen/send.hpp"

namespace vq6120::display {

using namespace screen;

template <int C, int R>
void CellGrid<C, R>::put(int column, int row, std::string_view s, bool inverse_cells) {
    if (row < 0 || row >= R) return;
    for (std::size_t i = 0; i < s.size(); ++i) {
        const int c = column + static_cast<int>(i);
        if (c < 0) continue;
        if (c >= C) break;
        chars[static_cast<std::size_t>(row)][static_cast<std::size_t>(c)] = s[i];
        inverse[static_cast<std::size_t>(row)][static_cast<std::size_t>(c)] = inverse_cells;
    }
}
template struct CellGrid<40, 8>;
template struct CellGrid<20, 2>;

namespace {

struct Sender {
    VQ6120_HANDLE handle;
    SyncResult result;
    void count(std::int32_t accepted, int bytes) {
        ++result.commands;
        result.bytes += bytes;
        if (accepted != 1) result.sent = false;
    }
};

void send_graphic(void *context, const Command &c) noexcept {
    auto &s = *static_cast<Sender *>(context);
    s.count(send_to_terminal(s.handle, c), frame_bytes(c));
}

struct Run {
    int row, first, last;
    bool inverse;
};

// Runs that turn `from` into `to` (from == nullptr: a cleared screen), each
// within one row and one attribute; unchanged cells between two changes are
// written again when that is cheaper than a new cursor and write.
template <int C, int R, class F>
int plan_runs(const CellGrid<C, R> *from, const CellGrid<C, R> &to, F &&emit) {
    int bytes = 0;
    for (std::size_t r = 0; r < static_cast<std::size_t>(R); ++r) {
        auto changed = [&](std::size_t c) {
            return from != nullptr ? (from->chars[r][c] != to.chars[r][c] || from->inverse[r][c] != to.inverse[r][c])
                                   : (to.chars[r][c] != ' ' || to.inverse[r][c]);
        };
        int first = -1, last = -1;
        auto flush = [&] {
            if (first >= 0) {
                emit(Run{static_cast<int>(r), first, last, to.inverse[r][static_cast<std::size_t>(first)]});
                bytes += frame_bytes(4) + frame_bytes(last - first + 1);
            }
            first = last = -1;
        };
        for (std::size_t c = 0; c < static_cast<std::size_t>(C); ++c) {
            if (!changed(c)) continue;
            const int ci = static_cast<int>(c);
            const bool same_attr = first >= 0 && to.inverse[r][c] == to.inverse[r][static_cast<std::size_t>(first)];
            bool bridge = same_attr && ci - last - 1 < frame_bytes(4) + frame_bytes(0);
            for (int k = last + 1; bridge && k < ci; ++k) {
                bridge = to.inverse[r][static_cast<std::size_t>(k)] == to.inverse[r][c];
            }
            if (!bridge) {
                flush();
                first = ci;
            }
            last = ci;
        }
        flush();
    }
    return bytes;
}

}  // namespace

void Display::set_cursor(int column, int row) noexcept {
    wanted_.cursor = {std::clamp(column, 0, TextScreen::kColumns - 1), std::clamp(row, 0, TextScreen::kRows - 1)};
}

SyncResult Display::sync(VQ6120_HANDLE handle) {
    Sender s{handle, {}};
    const bool own_batch = VQ6120Ex_BeginBatch(handle) == 1;
    const bool whole = !known_.has_value();
    if (whole) {
        known_.emplace();
        s.count(ClearGraphicScreen(handle), frame_bytes(0));
        s.count(ClearText(handle), frame_bytes(0));
        s.count(ClearKeyboard(handle), frame_bytes(0));
        known_->cursor = {-1, -1};
        known_->led = static_cast<std::uint8_t>(~wanted_.led);
        known_->backlight = !wanted_.backlight;
        known_->outputs = {!wanted_.outputs[0], !wanted_.outputs[1]};
    }
    TerminalState &k = *known_;
    const TerminalState &w = wanted_;

    encode(k.canvas, w.canvas, options_, send_graphic, &s);

    // The text screen: runs in place, or cleared and written anew.
    auto write_run = [&](const Run &run) {
        s.count(SetScreenCursorPos(handle, static_cast<std::int16_t>(run.first * 6),
                                   static_cast<std::int16_t>(run.row * 8)),
                frame_bytes(4));
        const char *chars = w.text.chars[static_cast<std::size_t>(run.row)].data() + run.first;
        const int n = run.last - run.first + 1;
        s.count(WriteText(handle, chars, n, run.inverse ? 1 : 0), frame_bytes(n));
    };
    const int in_place = plan_runs(&k.text, w.text, [](const Run &) {});
    const int anew = frame_bytes(0) + plan_runs<40, 8>(nullptr, w.text, [](const Run &) {});
    bool moved = false;
    if (in_place > 0) {
        if (anew < in_place) {
            s.count(ClearText(handle), frame_bytes(0));
            plan_runs<40, 8>(nullptr, w.text, write_run);
        } else {
            plan_runs(&k.text, w.text, write_run);
        }
        moved = true;
    }
    if (moved || k.cursor != w.cursor) {
        s.count(SetScreenCursorPos(handle, static_cast<std::int16_t>(w.cursor[0] * 6),
                                   static_cast<std::int16_t>(w.cursor[1] * 8)),
                frame_bytes(4));
    }

    // The keyboard display: no cursor command, so any change rewrites it
    // whole from its start, row after row, up to its last non-blank cell.
    if (!whole && !(k.keyboard == w.keyboard)) s.count(ClearKeyboard(handle), frame_bytes(0));
    if (whole || !(k.keyboard == w.keyboard)) {
        int end = KeyboardDisplay::kColumns * KeyboardDisplay::kRows;
        auto cell = [&](int i) {
            return std::pair{w.keyboard.chars[static_cast<std::size_t>(i / KeyboardDisplay::kColumns)]
                                            [static_cast<std::size_t>(i % KeyboardDisplay::kColumns)],
                             w.keyboard.inverse[static_cast<std::size_t>(i / KeyboardDisplay::kColumns)]
                                              [static_cast<std::size_t>(i % KeyboardDisplay::kColumns)]};
        };
        while (end > 0 && cell(end - 1) == std::pair{' ', false}) --end;
        for (int i = 0; i < end;) {
            std::string chars;
            const bool inverse = cell(i).second;
            while (i < end && cell(i).second == inverse) chars.push_back(cell(i++).first);
            s.count(WriteKeyboardText(handle, chars.data(), static_cast<std::int32_t>(chars.size()), inverse ? 1 : 0),
                    frame_bytes(static_cast<int>(chars.size())));
        }
    }

    if (k.led != w.led) s.count(SetLED(handle, w.led), frame_bytes(1));
    if (k.backlight != w.backlight) s.count(SetLCDBacklight(handle, w.backlight ? 1 : 0), frame_bytes(1));
    if (k.outputs != w.outputs) s.count(WriteDOStatus(handle, w.outputs[0] ? 1 : 0, w.outputs[1] ? 1 : 0), frame_bytes(2));

    if (own_batch && VQ6120Ex_EndBatch(handle) != 1) s.result.sent = false;
    if (s.result.sent) {
        k = w;
    } else {
        known_.reset();
    }
    return s.result;
}

}  // namespace vq6120::display
