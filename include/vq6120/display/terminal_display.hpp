// The whole terminal as the host wants it: the graphic canvas, the text
// screen (40 x 8 with its cursor), the keyboard display (20 x 2), the LED,
// the backlight and the two outputs. The host changes this state as it
// likes; sync() sends what differs from what the terminal is known to show,
// in one write, and nothing for what is unchanged. After a new connection
// (the terminal may have been restarted or drawn on by others), forget()
// makes the next sync send the whole state.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VQ6120_LIB.h"
#include "vq6120/screen/encoder.hpp"

namespace vq6120::display {

// A grid of character cells, each with the inverse attribute.
template <int Columns, int Rows>
struct CellGrid {
    static constexpr int kColumns = Columns;
    static constexpr int kRows = Rows;
    std::array<std::array<char, Columns>, Rows> chars;
    std::array<std::array<bool, Columns>, Rows> inverse{};
    CellGrid() {
        for (auto &row : chars) row.fill(' ');
    }
    // Text from (column, row) on, cut at the row's end.
    void put(int column, int row, std::string_view text, bool inverse_cells = false);
    bool operator==(const CellGrid &) const = default;
};
using TextScreen = CellGrid<40, 8>;
using KeyboardDisplay = CellGrid<20, 2>;

struct SyncResult {
    bool sent = true;   // every frame was handed to the socket
    int commands = 0;
    int bytes = 0;      // on the wire, headers included
};

// Everything Display keeps of a terminal: as wanted, and as it is known to
// show.
struct TerminalState {
    screen::Canvas canvas;
    TextScreen text;
    KeyboardDisplay keyboard;
    std::array<int, 2> cursor{};  // column, row
    std::uint8_t led = 0;
    bool backlight = true;
    std::array<bool, 2> outputs{};
};

class Display {
public:
    explicit Display(screen::EncodeOptions options = {}) : options_(options) {}

    screen::Canvas &canvas() noexcept { return wanted_.canvas; }
    TextScreen &text() noexcept { return wanted_.text; }
    KeyboardDisplay &keyboard() noexcept { return wanted_.keyboard; }
    // The text screen's cursor, by cell.
    void set_cursor(int column, int row) noexcept;
    void set_led(std::uint8_t value) noexcept { wanted_.led = value; }
    void set_backlight(bool on) noexcept { wanted_.backlight = on; }
    void set_outputs(bool first, bool second) noexcept { wanted_.outputs = {first, second}; }

    // Sends the difference to the terminal on `handle`, in one write (or into
    // the host's open batch). When a send fails the terminal's state is no
    // longer known: the next sync sends everything.
    SyncResult sync(VQ6120_HANDLE handle);
    // What the terminal shows is unknown (a new connection): the next sync
    // clears and sends the whole state.
    void forget() noexcept { known_.reset(); }

private:
    screen::EncodeOptions options_;
    TerminalState wanted_;
    std::optional<TerminalState> known_;  // what the terminal shows, when known
};

}  // namespace vq6120::display
