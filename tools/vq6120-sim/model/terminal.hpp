// The virtual terminal's state and how each host frame changes it. No I/O:
// the server feeds frames in and sends out whatever frames come back.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "model/screen.hpp"
#include "transport/frame_codec.hpp"

namespace vq6120::sim {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

inline constexpr char kModelName[] = "VQ6120-SIM";

// A grid of character cells with a write position. Writing past the end of a
// row wraps to the next row; writing past the last row scrolls the area up.
class TextArea {
public:
    struct Cell {
        std::uint8_t code = ' ';
        bool inverse = false;
        bool operator==(const Cell &) const = default;
    };

    TextArea(int columns, int rows);

    int columns() const noexcept { return columns_; }
    int rows() const noexcept { return rows_; }
    int cursor_column() const noexcept { return column_; }
    int cursor_row() const noexcept { return row_; }
    const Cell &at(int column, int row) const;
    std::string row_text(int row) const;  // printable bytes as they are, others as '.'

    void clear();  // blank cells, cursor home
    void move_to(int column, int row);  // clamped into the grid
    // '\r' returns to column 0, '\n' moves to column 0 of the next row; every
    // other byte takes one cell.
    void write(std::span<const std::uint8_t> text, bool inverse);
    // step -1: contents move up a row, a blank row enters at the bottom;
    // step +1: contents move down, a blank row enters at the top. The cursor
    // stays where it is.
    void scroll(int step);

private:
    void new_line();
    int columns_;
    int rows_;
    int column_ = 0;
    int row_ = 0;
    std::vector<Cell> cells_;
};

struct SerialPort {
    bool configured = false;
    std::uint8_t baud_index = 0;
    std::uint8_t option_a = 0;  // parity: 0 none, 1 odd, 2 even, 3 space
    std::uint8_t data_bits = 8;
    std::uint8_t stop_bits = 1;
    std::uint8_t option_b = 0;  // flow control: 0 none, 1 RTS/CTS
    std::uint8_t option_c = 0;  // recorded only
    std::uint64_t bytes_from_host = 0;
    std::uint64_t bytes_to_host = 0;

    std::uint32_t baud_rate() const noexcept;  // 0 for an index above 7
    std::string describe() const;              // e.g. "9600 8N1 flow none opt 0"
};

// One frame for the host: header fields and payload.
struct OutFrame {
    std::uint8_t channel = 0;
    std::uint8_t command = 0;
    std::uint8_t subcode = 0;
    Bytes payload;
    bool operator==(const OutFrame &) const = default;
};

// The largest payload in a frame of ours (a frame stays within 32,768 bytes).
inline constexpr std::size_t kMaxOutPayload = kMaxReceiveFrameSize - kHeaderSize;

class Terminal {
public:
    // The 40 x 8 text screen fills the 240 x 64 area in 6 x 8 cells; the
    // keyboard display is 2 lines of 20 characters.
    static constexpr int kTextColumns = 40;
    static constexpr int kTextRows = 8;
    static constexpr int kKeyboardColumns = 20;
    static constexpr int kKeyboardRows = 2;

    Terminal();

    // Acts on one host frame and returns the frames to send back. `log`
    // receives one line for anything the terminal could not act on.
    std::vector<OutFrame> handle(const FrameHeader &header, std::span<const std::uint8_t> payload,
                                 Clock::time_point now, std::string *log = nullptr);

    // Injected from the operator side.
    OutFrame key_frame(std::uint8_t code) const;
    OutFrame di_frame() const;
    std::vector<OutFrame> serial_frames(int port, std::span<const std::uint8_t> data);

    // Timers: when the next timed event is due (if any), and what is due now.
    std::optional<Clock::time_point> next_deadline() const;
    std::vector<OutFrame> on_time(Clock::time_point now, std::string *log = nullptr);
    // A new host connection: timers start afresh.
    void host_connected(Clock::time_point now);
    void host_disconnected();

    GraphicScreen graphic;
    TextArea text{kTextColumns, kTextRows};
    TextArea keyboard{kKeyboardColumns, kKeyboardRows};

    std::array<bool, 2> digital_out{};  // [0] first output, [1] second
    std::array<bool, 2> digital_in{};   // [0] first input, [1] second
    std::uint8_t led = 0;
    bool backlight = true;
    std::array<std::uint8_t, 3> beeper{};  // the last three beeper values
    std::uint64_t beeps = 0;
    std::uint8_t report_time = 0;      // auto report every N x 100 ms, 0 off
    std::uint8_t alive_seconds = 0;    // host-alive check, 0 off
    bool host_lost = false;
    std::uint64_t alive_signals = 0;
    std::array<SerialPort, 2> serial{};
    std::uint64_t frames_handled = 0;
    std::uint64_t frames_ignored = 0;

private:
    void handle_terminal(const FrameHeader &h, std::span<const std::uint8_t> p, Clock::time_point now,
                         std::vector<OutFrame> &out, std::string &problem);
    void handle_serial(int port, const FrameHeader &h, std::span<const std::uint8_t> p,
                       std::vector<OutFrame> &out, std::string &problem);

    bool connected_ = false;
    Clock::time_point next_report_{};
    Clock::time_point alive_deadline_{};
};

}  // namespace vq6120::sim
