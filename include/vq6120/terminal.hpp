// vq6120/terminal.hpp: one connection to one terminal, its commands as
// member functions. Part of vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "VQ6120_LIB.h"
#include "vq6120/endpoint.hpp"
#include "vq6120/events.hpp"

namespace vq6120 {

namespace detail {

// Values reach the C functions only when they fit their parameter types, so
// that a wide argument is refused rather than cut into the range.
template <class T>
constexpr bool fits(long long v) noexcept {
    return v >= static_cast<long long>(std::numeric_limits<T>::min()) &&
           v <= static_cast<long long>(std::numeric_limits<T>::max());
}
template <class T>
constexpr T narrow(long long v) noexcept {
    return static_cast<T>(v);
}

// `from` + `d`, with `d` kept to 0 .. a year so that no huge value a host
// passes overflows the clock.
inline std::chrono::steady_clock::time_point later(std::chrono::steady_clock::time_point from,
                                                   std::chrono::milliseconds d) noexcept {
    return from + std::clamp(d, std::chrono::milliseconds{0}, std::chrono::milliseconds{std::chrono::hours{24 * 365}});
}

inline int clamp_ms(std::chrono::milliseconds d) noexcept {
    return static_cast<int>(std::clamp<long long>(d.count(), 0, INT_MAX));
}

}  // namespace detail

// ---- Terminal ----------------------------------------------------------

// One connection to one terminal; closes it when destroyed. Commands return
// true when the C call returned 1 (the frame was handed to the socket, or,
// inside a batch, collected) and false when it was refused: out of the C
// function's range, an empty Terminal, or a value too wide for the C
// parameter. Like the C functions they block while the socket takes no more
// of a frame, for at most VQ6120_SEND_STALL_SECONDS since the last progress
// (after such a stall the connection reads as closed), unless the handle is
// in the queued send mode (VQ6120Ex_SetSendQueue), as a Poller's terminals
// are: there they return at once and a command the queue cannot take whole
// returns false.
class Terminal {
public:
    Terminal() noexcept = default;
    // Takes ownership of a handle from InitialVQ6120 or VQ6120Ex_*Open.
    explicit Terminal(VQ6120_HANDLE adopt) noexcept : handle_(adopt) {}
    ~Terminal() { close(); }
    Terminal(Terminal &&other) noexcept
        : handle_(std::exchange(other.handle_, nullptr)), closed_(std::exchange(other.closed_, false)) {}
    Terminal &operator=(Terminal &&other) noexcept {
        if (this != &other) {
            close();
            handle_ = std::exchange(other.handle_, nullptr);
            closed_ = std::exchange(other.closed_, false);
        }
        return *this;
    }
    Terminal(const Terminal &) = delete;
    Terminal &operator=(const Terminal &) = delete;

    // Connects, waiting at most `limit` (a refused connect returns at once).
    // An empty Terminal on failure.
    static Terminal open(const Endpoint &to, std::chrono::milliseconds limit) noexcept {
        return Terminal(VQ6120Ex_Open(to.address, to.port, detail::clamp_ms(limit)));
    }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    // For C calls; stays owned by the Terminal.
    VQ6120_HANDLE handle() const noexcept { return handle_; }
    // Gives the handle up: the caller passes it to ExitVQ6120.
    VQ6120_HANDLE release() noexcept {
        closed_ = false;
        return std::exchange(handle_, nullptr);
    }
    void close() noexcept {
        ExitVQ6120(std::exchange(handle_, nullptr));
        closed_ = false;
    }
    // The socket to wait on (-1 when empty). Wait on it only: never read,
    // write or close it.
    native_socket_t native_socket() const noexcept { return VQ6120Ex_GetSocket(handle_); }
    // True once poll() saw the connection closed (or a send stalled): close
    // and reconnect.
    bool closed() const noexcept { return closed_; }
    // Received bytes buffered in the library, deliverable without a read.
    int buffered_bytes() const noexcept { return VQ6120Ex_BufferedBytes(handle_); }
    // Bytes waiting to reach the terminal: the send queue and the system's
    // send buffer (VQ6120Ex_WaitingBytes); -1 when empty.
    int waiting_bytes() const noexcept { return VQ6120Ex_WaitingBytes(handle_); }
    // Milliseconds until the send-stall rule must next be judged
    // (VQ6120Ex_NextCheck): the longest a loop may wait before it flushes
    // this terminal; -1 when nothing waits (or empty).
    int next_check_ms() const noexcept { return VQ6120Ex_NextCheck(handle_); }

    // The next event, waiting up to `wait` for one (0: only what has arrived).
    // nullopt when none came in time or the connection is closed (closed()).
    std::optional<Event> poll(std::chrono::milliseconds wait = std::chrono::milliseconds{0}) {
        if (handle_ == nullptr || closed_) {
            return std::nullopt;
        }
        const auto deadline = detail::later(Clock::now(), wait);
        for (;;) {
            std::optional<Event> event;
            switch (detail::next_event(handle_, event)) {
            case detail::Next::Closed:
                closed_ = true;
                return std::nullopt;
            case detail::Next::Delivered:
                return event;
            case detail::Next::Nothing:
                break;
            }
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return std::nullopt;
            }
            detail::wait_readable(native_socket(), detail::clamp_ms(left));
        }
    }

    // Probe: is the peer a VQ6120 (GetConnectStatus)? Other frames stay queued.
    bool probe(std::uint8_t timeout_seconds = 2) noexcept { return GetConnectStatus(handle_, timeout_seconds) == 1; }
    // TCP keepalive (seconds); idle 0 turns it off.
    bool set_keepalive(int idle_seconds, int interval_seconds, int count) noexcept {
        return VQ6120Ex_SetKeepAlive(handle_, idle_seconds, interval_seconds, count) == 1;
    }

    // Commands collect their frames until the guard ends (or end() is
    // called); then they go out in one send. end() reports whether that send
    // succeeded; a command's true inside the batch means "collected".
    class Batch {
    public:
        explicit Batch(VQ6120_HANDLE h) noexcept : handle_(VQ6120Ex_BeginBatch(h) == 1 ? h : nullptr) {}
        ~Batch() { end(); }
        Batch(Batch &&other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
        Batch &operator=(Batch &&) = delete;
        Batch(const Batch &) = delete;
        // Whether the batch began.
        explicit operator bool() const noexcept { return handle_ != nullptr; }
        bool end() noexcept {
            const VQ6120_HANDLE h = std::exchange(handle_, nullptr);
            return h != nullptr && VQ6120Ex_EndBatch(h) == 1;
        }

    private:
        VQ6120_HANDLE handle_;
    };
    [[nodiscard]] Batch batch() noexcept { return Batch(handle_); }

    // -- Graphic screen: x 0..239, y 0..63, sizes 0..32, mode 0 outline / 1 filled.
    bool clear_graphic_screen() noexcept { return ClearGraphicScreen(handle_) == 1; }
    bool draw_pixel(int x, int y) noexcept { return xy(x, y) && DrawPixel(handle_, s16(x), s16(y)) == 1; }
    bool draw_line(int x1, int y1, int x2, int y2) noexcept {
        return xy(x1, y1) && xy(x2, y2) && DrawLine(handle_, s16(x1), s16(y1), s16(x2), s16(y2)) == 1;
    }
    bool draw_rectangle(int x1, int y1, int x2, int y2, int mode = 0) noexcept {
        return xy(x1, y1) && xy(x2, y2) && u8ok(mode) &&
               DrawRectangle(handle_, s16(x1), s16(y1), s16(x2), s16(y2), u8(mode)) == 1;
    }
    bool draw_circle(int x, int y, int size, int mode = 0) noexcept {
        return xy(x, y) && s16ok(size) && u8ok(mode) && DrawCircle(handle_, s16(x), s16(y), s16(size), u8(mode)) == 1;
    }
    bool draw_ellipse(int x, int y, int size_a, int size_b, int mode = 0) noexcept {
        return xy(x, y) && xy(size_a, size_b) && u8ok(mode) &&
               DrawEllipse(handle_, s16(x), s16(y), s16(size_a), s16(size_b), u8(mode)) == 1;
    }
    bool draw_rhombus(int x, int y, int size_a, int size_b) noexcept {
        return xy(x, y) && xy(size_a, size_b) && DrawRhombus(handle_, s16(x), s16(y), s16(size_a), s16(size_b)) == 1;
    }
    // 1..240 bytes.
    bool draw_text(int x, int y, std::string_view text) noexcept {
        return xy(x, y) && text_ok(text) &&
               DrawAText(handle_, s16(x), s16(y), text.data(), static_cast<std::int32_t>(text.size())) == 1;
    }

    // -- Text screen and keyboard display: text 1..240 bytes, flag 0/1, direction 0/1.
    bool clear_text() noexcept { return ClearText(handle_) == 1; }
    bool set_cursor(int x, int y) noexcept { return xy(x, y) && SetScreenCursorPos(handle_, s16(x), s16(y)) == 1; }
    bool write_text(std::string_view text, int flag = 0) noexcept {
        return text_ok(text) && u8ok(flag) &&
               WriteText(handle_, text.data(), static_cast<std::int32_t>(text.size()), u8(flag)) == 1;
    }
    bool scroll_text(int direction) noexcept { return u8ok(direction) && ScrolloneLine(handle_, u8(direction)) == 1; }
    bool clear_keyboard() noexcept { return ClearKeyboard(handle_) == 1; }
    bool write_keyboard_text(std::string_view text, int flag = 0) noexcept {
        return text_ok(text) && u8ok(flag) &&
               WriteKeyboardText(handle_, text.data(), static_cast<std::int32_t>(text.size()), u8(flag)) == 1;
    }
    bool scroll_keyboard(int direction) noexcept {
        return u8ok(direction) && ScrollKeyboardoneLine(handle_, u8(direction)) == 1;
    }

    // -- I/O and housekeeping.
    bool write_outputs(int first, int second) noexcept {
        return u8ok(first) && u8ok(second) && WriteDOStatus(handle_, u8(first), u8(second)) == 1;
    }
    // The answer arrives as a DigitalInputs event.
    bool request_inputs() noexcept { return ReadDIStatus(handle_) == 1; }
    bool set_beeper(int v1, int v2, int v3) noexcept {
        return u8ok(v1) && u8ok(v2) && u8ok(v3) && SetBeeperTime(handle_, u8(v1), u8(v2), u8(v3)) == 1;
    }
    // The terminal reports its inputs every `tenths` x 100 ms; 0 stops it.
    bool set_auto_report(int tenths) noexcept { return u8ok(tenths) && SetAutoReportTime(handle_, u8(tenths)) == 1; }
    // The answer arrives as a ModelName event.
    bool request_model_name() noexcept { return GetModalName(handle_) == 1; }
    bool set_led(int value) noexcept { return u8ok(value) && SetLED(handle_, u8(value)) == 1; }
    bool set_backlight(int on) noexcept { return u8ok(on) && SetLCDBacklight(handle_, u8(on)) == 1; }
    bool set_host_alive_check(int seconds) noexcept {
        return u8ok(seconds) && SetHostAliveCheck(handle_, u8(seconds)) == 1;
    }
    bool send_host_alive() noexcept { return SendHostAlive(handle_) == 1; }

    // -- Serial pass-through, port 1 or 2 (ConfigureCOM's ranges).
    bool configure_serial(int port, std::uint32_t baud, int option_a, int data_bits, int stop_bits, int option_b,
                          int option_c) noexcept {
        return u8ok(port) && u8ok(option_a) && u8ok(data_bits) && u8ok(stop_bits) && u8ok(option_b) &&
               u8ok(option_c) &&
               ConfigureCOM(handle_, baud, u8(option_a), u8(data_bits), u8(stop_bits), u8(option_b), u8(option_c),
                            u8(port)) == 1;
    }
    // 1..VQ6120_MAX_PAYLOAD bytes in one frame.
    bool send_serial(int port, std::span<const std::uint8_t> bytes) noexcept {
        return u8ok(port) && bytes.size() <= VQ6120_MAX_PAYLOAD &&
               SendCOMData(handle_, bytes.data(), static_cast<std::int32_t>(bytes.size()), u8(port)) == 1;
    }
    // Any frame, unchecked (SendData).
    bool send_raw(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                  std::span<const std::uint8_t> payload = {}) noexcept {
        return payload.size() <= VQ6120_MAX_PAYLOAD &&
               SendData(handle_, channel, command, subcode, payload.data(),
                        static_cast<std::uint32_t>(payload.size())) == 1;
    }

private:
    static bool s16ok(long long v) noexcept { return detail::fits<std::int16_t>(v); }
    static bool u8ok(long long v) noexcept { return detail::fits<std::uint8_t>(v); }
    static bool xy(long long x, long long y) noexcept { return s16ok(x) && s16ok(y); }
    static std::int16_t s16(long long v) noexcept { return detail::narrow<std::int16_t>(v); }
    static std::uint8_t u8(long long v) noexcept { return detail::narrow<std::uint8_t>(v); }
    static bool text_ok(std::string_view t) noexcept { return t.size() <= INT32_MAX; }

    VQ6120_HANDLE handle_ = nullptr;
    bool closed_ = false;
};

}  // namespace vq6120
