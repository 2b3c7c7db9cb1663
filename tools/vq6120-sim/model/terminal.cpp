#include "model/terminal.hpp"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "model/font.hpp"

namespace vq6120::sim {
namespace {

// Host commands on the terminal channel.
namespace cmd {
constexpr std::uint8_t kModelName = 0x00;
constexpr std::uint8_t kWriteDO = 0x09;
constexpr std::uint8_t kReadDI = 0x0A;
constexpr std::uint8_t kBeeper = 0x0B;
constexpr std::uint8_t kLED = 0x0C;
constexpr std::uint8_t kBacklight = 0x0D;
constexpr std::uint8_t kAutoReport = 0x11;
constexpr std::uint8_t kHostAlive = 0x12;
constexpr std::uint8_t kClearKeyboard = 0x30;
constexpr std::uint8_t kClearGraphic = 0x40;
constexpr std::uint8_t kPixel = 0x43;
constexpr std::uint8_t kLine = 0x47;
constexpr std::uint8_t kRectangle = 0x48;
constexpr std::uint8_t kCircle = 0x49;
constexpr std::uint8_t kEllipse = 0x4A;
constexpr std::uint8_t kRhombus = 0x4B;
constexpr std::uint8_t kFilledRectangle = 0x4C;
constexpr std::uint8_t kFilledCircle = 0x4D;
constexpr std::uint8_t kFilledEllipse = 0x4E;
constexpr std::uint8_t kGraphicText = 0x50;
constexpr std::uint8_t kClearText = 0x60;
constexpr std::uint8_t kWriteText = 0x61;
constexpr std::uint8_t kWriteKeyboard = 0x62;
constexpr std::uint8_t kCursor = 0x65;
constexpr std::uint8_t kScrollText = 0x67;
constexpr std::uint8_t kScrollKeyboard = 0x68;
// Frames of the terminal's own.
constexpr std::uint8_t kKey = 0x37;
// Serial channels.
constexpr std::uint8_t kSerialData = 0x00;
constexpr std::uint8_t kSerialConfigure = 0x01;
}  // namespace cmd

constexpr std::array<std::uint32_t, 8> kBaudRates{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

// Coordinates travel as 16-bit big-endian values; they are read as signed so
// a raw frame's 0xFFFF lands just off the screen and is clipped.
int coord(std::span<const std::uint8_t> p, std::size_t index) {
    return static_cast<std::int16_t>(get_be16(p.data() + 2 * index));
}

std::string hex(std::uint8_t v) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%02X", v);
    return buf;
}

// Scroll step byte: 0xFF (-1) or 0x01 (+1); anything else is not a step.
std::optional<int> scroll_step(std::span<const std::uint8_t> p) {
    if (p.size() != 1) {
        return std::nullopt;
    }
    if (p[0] == 0xFF) {
        return -1;
    }
    if (p[0] == 0x01) {
        return 1;
    }
    return std::nullopt;
}

}  // namespace

// ---- TextArea ---------------------------------------------------------------

TextArea::TextArea(int columns, int rows)
    : columns_(columns), rows_(rows), cells_(static_cast<std::size_t>(columns * rows)) {}

const TextArea::Cell &TextArea::at(int column, int row) const {
    if (column < 0 || column >= columns_ || row < 0 || row >= rows_) {
        throw std::out_of_range("text cell");
    }
    return cells_[static_cast<std::size_t>(row * columns_ + column)];
}

std::string TextArea::row_text(int row) const {
    std::string s;
    for (int c = 0; c < columns_; ++c) {
        const std::uint8_t code = at(c, row).code;
        s += (code >= 0x20 && code <= 0x7E) ? static_cast<char>(code) : '.';
    }
    return s;
}

void TextArea::clear() {
    std::fill(cells_.begin(), cells_.end(), Cell{});
    column_ = row_ = 0;
}

void TextArea::move_to(int column, int row) {
    column_ = std::clamp(column, 0, columns_ - 1);
    row_ = std::clamp(row, 0, rows_ - 1);
}

void TextArea::new_line() {
    column_ = 0;
    if (++row_ >= rows_) {
        scroll(-1);
        row_ = rows_ - 1;
    }
}

void TextArea::write(std::span<const std::uint8_t> text, bool inverse) {
    for (const std::uint8_t b : text) {
        if (b == '\r') {
            column_ = 0;
            continue;
        }
        if (b == '\n') {
            new_line();
            continue;
        }
        if (column_ >= columns_) {
            new_line();
        }
        cells_[static_cast<std::size_t>(row_ * columns_ + column_)] = Cell{b, inverse};
        ++column_;
    }
}

void TextArea::scroll(int step) {
    const auto width = static_cast<std::ptrdiff_t>(columns_);
    if (step < 0) {
        std::move(cells_.begin() + width, cells_.end(), cells_.begin());
        std::fill(cells_.end() - width, cells_.end(), Cell{});
    } else if (step > 0) {
        std::move_backward(cells_.begin(), cells_.end() - width, cells_.end());
        std::fill(cells_.begin(), cells_.begin() + width, Cell{});
    }
}

// ---- SerialPort -------------------------------------------------------------

std::uint32_t SerialPort::baud_rate() const noexcept {
    return baud_index < kBaudRates.size() ? kBaudRates[baud_index] : 0;
}

std::string SerialPort::describe() const {
    if (!configured) {
        return "not configured";
    }
    static constexpr char kParity[] = "NOES";
    char buf[96];
    std::snprintf(buf, sizeof buf, "%u %u%c%u %s opt %u", static_cast<unsigned>(baud_rate()),
                  static_cast<unsigned>(data_bits), kParity[option_a & 3], static_cast<unsigned>(stop_bits),
                  option_b ? "rts/cts" : "no-flow", static_cast<unsigned>(option_c));
    return buf;
}

// ---- Terminal ---------------------------------------------------------------

Terminal::Terminal() = default;

OutFrame Terminal::key_frame(std::uint8_t code) const {
    return OutFrame{channel::kTerminal, cmd::kKey, 0, {code}};
}

// Two ASCII digits: the first is always '0'; the second carries the first
// input in bit 0 and the second input in bit 1 ('0'..'3').
OutFrame Terminal::di_frame() const {
    const int bits = (digital_in[0] ? 1 : 0) | (digital_in[1] ? 2 : 0);
    return OutFrame{channel::kTerminal, cmd::kReadDI, 0,
                    {static_cast<std::uint8_t>('0'), static_cast<std::uint8_t>('0' + bits)}};
}

std::vector<OutFrame> Terminal::serial_frames(int port, std::span<const std::uint8_t> data) {
    std::vector<OutFrame> out;
    const std::uint8_t ch = port == 1 ? channel::kSerial1 : channel::kSerial2;
    for (std::size_t at = 0; at < data.size(); at += kMaxOutPayload) {
        const auto piece = data.subspan(at, std::min(kMaxOutPayload, data.size() - at));
        out.push_back(OutFrame{ch, cmd::kSerialData, 0, Bytes(piece.begin(), piece.end())});
    }
    serial[static_cast<std::size_t>(port - 1)].bytes_to_host += data.size();
    return out;
}

std::vector<OutFrame> Terminal::handle(const FrameHeader &header, std::span<const std::uint8_t> payload,
                                       Clock::time_point now, std::string *log) {
    std::vector<OutFrame> out;
    std::string problem;
    switch (header.channel) {
    case channel::kTerminal:
        handle_terminal(header, payload, now, out, problem);
        break;
    case channel::kSerial1:
        handle_serial(1, header, payload, out, problem);
        break;
    case channel::kSerial2:
        handle_serial(2, header, payload, out, problem);
        break;
    default:
        problem = "unknown channel " + hex(header.channel);
    }
    if (problem.empty()) {
        ++frames_handled;
    } else {
        ++frames_ignored;
        if (log != nullptr) {
            *log = "ignored frame channel " + hex(header.channel) + " command " + hex(header.command) +
                   " subcode " + hex(header.subcode) + ": " + problem;
        }
    }
    return out;
}

void Terminal::handle_terminal(const FrameHeader &h, std::span<const std::uint8_t> p, Clock::time_point now,
                               std::vector<OutFrame> &out, std::string &problem) {
    auto need = [&](std::size_t n) {
        if (p.size() != n) {
            problem = "payload of " + std::to_string(p.size()) + " bytes, expected " + std::to_string(n);
            return false;
        }
        return true;
    };
    switch (h.command) {
    case cmd::kModelName: {
        const std::string_view name = kModelName;
        out.push_back(OutFrame{channel::kTerminal, cmd::kModelName, 0, Bytes(name.begin(), name.end())});
        break;
    }
    case cmd::kWriteDO:
        if (need(2)) {
            // Second output's digit first, then the first output's.
            const int second = p[0] - '0', first = p[1] - '0';
            if ((first != 0 && first != 1) || (second != 0 && second != 1)) {
                problem = "output digits must be '0' or '1'";
                break;
            }
            digital_out = {first == 1, second == 1};
        }
        break;
    case cmd::kReadDI:
        out.push_back(di_frame());
        break;
    case cmd::kBeeper:
        if (need(3)) {
            beeper = {p[0], p[1], p[2]};
            if (p[0] > 0) {
                beeps += std::max<std::uint8_t>(p[2], 1);
            }
        }
        break;
    case cmd::kLED:
        if (need(1)) {
            led = p[0];
        }
        break;
    case cmd::kBacklight:
        if (need(1)) {
            backlight = p[0] != 0;
        }
        break;
    case cmd::kAutoReport:
        if (need(1)) {
            report_time = p[0];
            next_report_ = now + std::chrono::milliseconds(100 * report_time);
        }
        break;
    case cmd::kHostAlive:
        if (h.subcode == 0) {
            if (need(1)) {
                alive_seconds = p[0];
                host_lost = false;
                alive_deadline_ = now + std::chrono::seconds(alive_seconds);
            }
        } else if (h.subcode == 1) {
            ++alive_signals;
            host_lost = false;
            alive_deadline_ = now + std::chrono::seconds(alive_seconds);
        } else {
            problem = "unknown host-alive subcode";
        }
        break;
    case cmd::kClearKeyboard:
        keyboard.clear();
        break;
    case cmd::kClearGraphic:
        graphic.clear();
        break;
    case cmd::kPixel:
        if (need(4)) {
            graphic.set(coord(p, 0), coord(p, 1));
        }
        break;
    case cmd::kLine:
        if (need(8)) {
            graphic.line(coord(p, 0), coord(p, 1), coord(p, 2), coord(p, 3));
        }
        break;
    case cmd::kRectangle:
    case cmd::kFilledRectangle:
        if (need(8)) {
            graphic.rectangle(coord(p, 0), coord(p, 1), coord(p, 2), coord(p, 3),
                              h.command == cmd::kFilledRectangle);
        }
        break;
    case cmd::kCircle:
    case cmd::kFilledCircle:
        if (need(6)) {
            graphic.circle(coord(p, 0), coord(p, 1), std::max(coord(p, 2), 0), h.command == cmd::kFilledCircle);
        }
        break;
    case cmd::kEllipse:
    case cmd::kFilledEllipse:
        if (need(8)) {
            graphic.ellipse(coord(p, 0), coord(p, 1), std::max(coord(p, 2), 0), std::max(coord(p, 3), 0),
                            h.command == cmd::kFilledEllipse);
        }
        break;
    case cmd::kRhombus:
        if (need(8)) {
            graphic.rhombus(coord(p, 0), coord(p, 1), coord(p, 2), coord(p, 3));
        }
        break;
    case cmd::kGraphicText:
        if (p.size() < 4) {
            problem = "text frame without coordinates";
            break;
        }
        graphic.text(coord(p, 0), coord(p, 1),
                     std::string_view(reinterpret_cast<const char *>(p.data()) + 4, p.size() - 4));
        break;
    case cmd::kClearText:
        text.clear();
        break;
    case cmd::kWriteText:
        text.write(p, h.subcode != 0);
        break;
    case cmd::kWriteKeyboard:
        keyboard.write(p, h.subcode != 0);
        break;
    case cmd::kCursor:
        if (need(4)) {
            // Pixel coordinates pick the 6 x 8 cell that holds them.
            text.move_to(coord(p, 0) / kCellWidth, coord(p, 1) / kCellHeight);
        }
        break;
    case cmd::kScrollText:
    case cmd::kScrollKeyboard: {
        const auto step = scroll_step(p);
        if (!step) {
            problem = "scroll step must be the one byte 0xFF or 0x01";
            break;
        }
        (h.command == cmd::kScrollText ? text : keyboard).scroll(*step);
        break;
    }
    default:
        problem = "unknown command";
    }
}

void Terminal::handle_serial(int port, const FrameHeader &h, std::span<const std::uint8_t> p,
                             std::vector<OutFrame> &out, std::string &problem) {
    SerialPort &sp = serial[static_cast<std::size_t>(port - 1)];
    switch (h.command) {
    case cmd::kSerialData:
        sp.bytes_from_host += p.size();
        // No line is attached: what goes out of the port comes straight back.
        for (auto &f : serial_frames(port, p)) {
            out.push_back(std::move(f));
        }
        break;
    case cmd::kSerialConfigure:
        if (p.size() != 6) {
            problem = "configuration of " + std::to_string(p.size()) + " bytes, expected 6";
        } else if (p[0] > 7 || p[1] > 3 || (p[2] != 7 && p[2] != 8) || (p[3] != 1 && p[3] != 2) || p[4] > 1) {
            problem = "line settings out of range";
        } else {
            sp.configured = true;
            sp.baud_index = p[0];
            sp.option_a = p[1];
            sp.data_bits = p[2];
            sp.stop_bits = p[3];
            sp.option_b = p[4];
            sp.option_c = p[5];
        }
        break;
    default:
        problem = "unknown serial command";
    }
}

std::optional<Clock::time_point> Terminal::next_deadline() const {
    std::optional<Clock::time_point> next;
    if (!connected_) {
        return next;
    }
    if (report_time > 0) {
        next = next_report_;
    }
    if (alive_seconds > 0 && !host_lost) {
        next = next ? std::min(*next, alive_deadline_) : alive_deadline_;
    }
    return next;
}

std::vector<OutFrame> Terminal::on_time(Clock::time_point now, std::string *log) {
    std::vector<OutFrame> out;
    if (!connected_) {
        return out;
    }
    if (report_time > 0 && now >= next_report_) {
        out.push_back(di_frame());
        const auto period = std::chrono::milliseconds(100 * report_time);
        next_report_ += period;
        if (next_report_ <= now) {
            next_report_ = now + period;  // fell behind: no burst of reports
        }
    }
    if (alive_seconds > 0 && !host_lost && now >= alive_deadline_) {
        host_lost = true;
        if (log != nullptr) {
            *log = "host lost: no alive signal for " + std::to_string(alive_seconds) + " s";
        }
    }
    return out;
}

void Terminal::host_connected(Clock::time_point now) {
    connected_ = true;
    host_lost = false;
    next_report_ = now + std::chrono::milliseconds(100 * report_time);
    alive_deadline_ = now + std::chrono::seconds(alive_seconds);
}

void Terminal::host_disconnected() { connected_ = false; }

}  // namespace vq6120::sim
