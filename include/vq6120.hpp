// vq6120.hpp: the C++20 face of VQ6120_LIB, header-only over the C interface
// (so the library's ABI stays the C one).
//
//   vq6120::Terminal  one connection: RAII, move-only; the commands as member
//                     functions with the C functions' ranges; received
//                     traffic as typed events.
//   vq6120::Poller    many terminals served from one thread: epoll on Linux,
//                     WSAPoll on Windows. Opens with a time limit without
//                     blocking, reconnects lost terminals with backoff and
//                     jitter, keeps host-alive signals going, finds dead links
//                     by the terminal's auto report or TCP keepalive, and
//                     carries foreign descriptors, timers and posted work.
//
// Exceptions: nothing from the network or the operating system is thrown.
// The only exception these classes raise is std::bad_alloc when memory runs
// out (events carry their payload in std::string/std::vector; the Poller keeps
// maps, a heap and std::function objects). An exception thrown by one of your
// callbacks passes out of Poller::run_once() / run(); the Poller stays
// consistent and usable: the event being delivered is lost, other ready
// sockets report again in the next round, due timers and posted work that
// had not run yet stay queued. The header also builds with exceptions
// switched off (-fno-exceptions); running out of memory then ends the program.
//
// Threads: a Terminal, like its handle, is used from one thread at a time. A
// Poller and everything reached through it belong to the thread that calls
// run_once()/run(); only post(), wake() and stop() may be called from any
// thread.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <queue>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "VQ6120_LIB.h"
#include "vq6120/detail/reactor.hpp"

namespace vq6120 {

// A POSIX descriptor or a Windows SOCKET.
using native_socket_t = detail::native_socket_t;
using Clock = std::chrono::steady_clock;

// ---- Addresses ---------------------------------------------------------

struct Endpoint {
    std::uint32_t address = 0;  // IPv4, network byte order (as inet_addr gives)
    std::uint16_t port = 16120; // host byte order

    // "a.b.c.d" or "a.b.c.d:port"; nullopt when it is not that.
    static std::optional<Endpoint> parse(std::string_view text, std::uint16_t default_port = 16120) {
        Endpoint e;
        e.port = default_port;
        const auto colon = text.rfind(':');
        std::string host(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            const std::string_view digits = text.substr(colon + 1);
            unsigned long value = 0;
            if (digits.empty() || digits.size() > 5) {
                return std::nullopt;
            }
            for (const char c : digits) {
                if (c < '0' || c > '9') {
                    return std::nullopt;
                }
                value = value * 10 + static_cast<unsigned long>(c - '0');
            }
            if (value == 0 || value > 65535) {
                return std::nullopt;
            }
            e.port = static_cast<std::uint16_t>(value);
        }
        const auto address = detail::parse_ipv4(host.c_str());
        if (!address) {
            return std::nullopt;
        }
        e.address = *address;
        return e;
    }

    std::string to_string() const {
        const auto *b = reinterpret_cast<const unsigned char *>(&address);
        return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
               std::to_string(b[3]) + ':' + std::to_string(port);
    }
};

// ---- Events ------------------------------------------------------------

// A key press (receive result 3 with a one-byte payload).
struct Key {
    std::uint8_t code = 0;
    friend bool operator==(const Key &, const Key &) = default;
};
// The digital inputs (an input-status answer or an auto report).
struct DigitalInputs {
    bool first = false;
    bool second = false;
    friend bool operator==(const DigitalInputs &, const DigitalInputs &) = default;
};
// The answer to a model-name request.
struct ModelName {
    std::string name;
    friend bool operator==(const ModelName &, const ModelName &) = default;
};
// Bytes the terminal received on serial port 1 or 2.
struct SerialData {
    int port = 1;
    std::vector<std::uint8_t> bytes;
    friend bool operator==(const SerialData &, const SerialData &) = default;
};
// Any other delivered frame: `result` is GetDataFromEthernet's result (2 for
// a consumed 0x11 frame, 8 for a 0x10 frame, 3 or 4 when the payload did not
// decode as a key or as inputs), with the payload as received.
struct OtherFrame {
    int result = 0;
    std::vector<std::uint8_t> payload;
    friend bool operator==(const OtherFrame &, const OtherFrame &) = default;
};
using Event = std::variant<Key, DigitalInputs, ModelName, SerialData, OtherFrame>;

namespace detail {

enum class Next { Delivered, Nothing, Closed };

inline Event make_event(std::int32_t result, std::span<const std::uint8_t> p) {
    const auto length = static_cast<std::int32_t>(p.size());
    switch (result) {
    case VQ6120_RECV_FRAME_37:
        if (p.size() == 1) {
            return Key{p[0]};
        }
        break;
    case VQ6120_RECV_DI_STATUS: {
        std::uint8_t first = 0;
        std::uint8_t second = 0;
        if (ParseDIStatus(1, p.data(), length, &first, &second) >= 0) {
            return DigitalInputs{first != 0, second != 0};
        }
        break;
    }
    case VQ6120_RECV_MODEL_NAME:
        return ModelName{std::string(p.begin(), p.end())};
    case VQ6120_RECV_SERIAL_1:
    case VQ6120_RECV_SERIAL_2:
        return SerialData{result == VQ6120_RECV_SERIAL_1 ? 1 : 2, {p.begin(), p.end()}};
    default:
        break;
    }
    return OtherFrame{result, {p.begin(), p.end()}};
}

// One GetDataFromEthernet call without waiting.
inline Next next_event(VQ6120_HANDLE h, std::optional<Event> &out) {
    std::array<std::uint8_t, VQ6120_MAX_RECEIVE_FRAME> buffer;
    std::int32_t length = static_cast<std::int32_t>(buffer.size());
    const std::int32_t r = GetDataFromEthernet(h, buffer.data(), &length, 0);
    if (r == VQ6120_RECV_CLOSED) {
        return Next::Closed;
    }
    if (r == VQ6120_RECV_NOTHING) {
        return Next::Nothing;
    }
    const std::size_t n = r == VQ6120_RECV_CONSUMED ? 0 : static_cast<std::size_t>(std::max(length, 0));
    out = make_event(r, std::span<const std::uint8_t>(buffer.data(), n));
    return Next::Delivered;
}

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
// of a frame, for at most VQ6120_SEND_STALL_SECONDS since the last progress;
// after such a stall the connection reads as closed.
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

// ---- Poller ------------------------------------------------------------

using TerminalId = std::uint64_t;

// A terminal's life in a Poller:
//   Connecting -> Online -> Lost -> Waiting -> Connecting -> ...
//   Connecting -> Waiting            (refused, failed or timed out)
enum class State : std::uint8_t { Connecting, Online, Lost, Waiting };

constexpr std::string_view to_string(State s) noexcept {
    switch (s) {
    case State::Connecting:
        return "connecting";
    case State::Online:
        return "online";
    case State::Lost:
        return "lost";
    case State::Waiting:
        return "waiting";
    }
    return "?";
}

// Why a terminal was lost or is waiting (StateChange::reason).
namespace reason {
inline constexpr std::string_view kConnectFailed = "connect failed";      // refused or unreachable
inline constexpr std::string_view kConnectTimeout = "connect timed out";  // no answer within the limit
inline constexpr std::string_view kClosed = "connection closed";          // closed, reset, send stalled,
                                                                          // keepalive failed, bad frame
inline constexpr std::string_view kNoAutoReport = "no auto report";       // three reports missed
}  // namespace reason

struct StateChange {
    TerminalId id = 0;
    State state = State::Waiting;
    void *user = nullptr;         // TerminalConfig::user
    std::string_view reason;      // Lost, and Waiting after a failed attempt; else empty
    Clock::time_point retry_at{}; // Waiting: when the next attempt starts
    unsigned attempt = 0;         // Connecting: attempts since the backoff was last reset (1 = first)
};

struct TerminalConfig {
    Endpoint endpoint;
    // A connect attempt that has not completed by then is abandoned.
    std::chrono::milliseconds connect_limit{1000};
    // Liveness by the terminal's own auto report: once online the terminal is
    // asked to report its inputs every N x 100 ms (SetAutoReportTime N); when
    // no frame is delivered for 3.5 x N x 100 ms (three reports missed) the
    // terminal is lost with reason "no auto report". 0: not used. The reports
    // are delivered as DigitalInputs events; any delivered frame counts as a
    // sign of life.
    std::uint8_t auto_report = 0;
    // Host-alive: once online SetHostAliveCheck(N) is sent, then SendHostAlive
    // every N/3 seconds for as long as it is online, so two signals may go
    // astray before the terminal counts the host as lost.
    // 0: not used.
    std::uint8_t host_alive_seconds = 0;
    // TCP keepalive once online (VQ6120Ex_SetKeepAlive); idle 0: not used. It
    // notices a cable pulled or a peer machine gone, but not a terminal
    // program that hangs while its system still answers for it: the auto
    // report notices both. A link the kernel gives up on is lost with reason
    // "connection closed".
    int keepalive_idle_seconds = 0;
    int keepalive_interval_seconds = 1;
    int keepalive_count = 3;
    // Handed back in every StateChange and event.
    void *user = nullptr;
};

// Reconnect delays. After a loss or failed attempt the wait is
// initial x 2^k, at most `maximum`, each scaled by a random factor in
// [1 - jitter, 1 + jitter] so that a plant of terminals that all dropped at
// once does not reconnect in lock step; k counts the failures since the
// terminal was last online for at least `reset_after`. Defaults: 0.5 s
// doubling to 30 s, +-25 %, reset after 10 s online. The first attempt after
// add() starts at once.
struct Backoff {
    std::chrono::milliseconds initial{500};
    std::chrono::milliseconds maximum{30000};
    double jitter = 0.25;
    std::chrono::milliseconds reset_after{10000};
};

// Serves many terminals from the thread that calls run_once()/run().
//
// Each round waits (epoll / WSAPoll) until a socket is ready or the nearest
// deadline comes, then drains every ready terminal with GetDataFromEthernet
// (at most 64 results per terminal per round, so one chatty terminal cannot
// starve the others), then handles the deadlines that are due: connect
// limits, retry times, liveness bounds, host-alive signals and after()
// timers. Deadlines live in one min-heap with at most one live entry per
// terminal, so the cost per event is O(log n) in the number of terminals and
// nothing ever walks all of them.
//
// Sends are the C library's: a command blocks the loop's thread while the
// terminal's socket takes no more bytes, for at most VQ6120_SEND_STALL_SECONDS
// since the last byte went out. A terminal that stopped reading therefore
// holds the others for at most that bound and is then lost ("connection
// closed"); one that reads slowly but steadily is never cut off (each bit of
// progress restarts the bound), though the loop waits for it meanwhile.
// Keep commands to a terminal small, or batch them.
//
// A connection that delivers a frame on a channel no terminal uses reads as
// closed (the C library's rule), so a terminal sending garbage is lost and
// reconnected; bytes that never form a frame deliver nothing and, with the
// auto report configured, end in "no auto report".
class Poller {
public:
    using StateHandler = std::function<void(const StateChange &)>;
    using EventHandler = std::function<void(TerminalId, void *user, Event &)>;
    // Called with what the descriptor is ready for; an error or hang-up
    // reports both, so the owner's next call on it finds out.
    using WatchHandler = std::function<void(bool readable, bool writable)>;
    using WatchId = std::uint64_t;
    using TimerId = std::uint64_t;

    explicit Poller(Backoff backoff = {}) : backoff_(backoff), random_(seed()) {}
    // Closes every terminal; no callbacks. Not from inside a callback.
    ~Poller() {
        for (auto &[id, e] : terminals_) {
            drop_socket(*e);
        }
        for (auto &[id, w] : watches_) {
            if (!w->dead) {
                reactor_.remove(w->socket);
            }
        }
    }
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    // False when the platform's wait set could not be made: nothing will run.
    bool ok() const noexcept { return reactor_.ok(); }

    void on_state(StateHandler handler) { on_state_ = std::move(handler); }
    void on_event(EventHandler handler) { on_event_ = std::move(handler); }

    // Adds a terminal; its first connect attempt starts in the next
    // run_once(). Ids are never reused.
    TerminalId add(const TerminalConfig &config) {
        auto e = std::make_unique<Entry>();
        e->id = next_id_++ | kTerminalKind;
        e->config = config;
        e->retry_at = Clock::now();
        Entry &ref = *e;
        terminals_.emplace(e->id, std::move(e));
        schedule(ref);
        return ref.id;
    }

    // Closes and forgets the terminal; no further callbacks for it. Safe
    // inside any callback (also the terminal's own): the Terminal& handed out
    // stays valid until that callback returns. False for an unknown id.
    bool remove(TerminalId id) {
        Entry *e = find(id);
        if (e == nullptr) {
            return false;
        }
        e->removed = true;
        drop_socket(*e);
        graveyard_.push_back(id);
        if (depth_ == 0) {
            reap();
        }
        return true;
    }
    // remove() for every terminal.
    void remove_all() {
        std::vector<TerminalId> ids;
        ids.reserve(terminals_.size());
        for (const auto &[id, e] : terminals_) {
            if (!e->removed) {
                ids.push_back(id);
            }
        }
        for (const TerminalId id : ids) {
            remove(id);
        }
    }

    // The terminal's connection while it is Online, else nullptr: send
    // commands through it. Do not close it or poll() it; the Poller does.
    // Frames that a call through it leaves in the library's buffer (probe()
    // reads) are delivered in the next round.
    Terminal *terminal(TerminalId id) {
        Entry *e = find(id);
        if (e == nullptr || e->state != State::Online) {
            return nullptr;
        }
        if (!e->touched) {
            e->touched = true;
            touched_.push_back(id);
        }
        return &e->terminal;
    }
    std::optional<State> state(TerminalId id) const noexcept {
        const Entry *e = find(id);
        return e != nullptr ? std::optional<State>(e->state) : std::nullopt;
    }
    // TerminalConfig::user of a terminal, nullptr for an unknown id.
    void *user(TerminalId id) const noexcept {
        const Entry *e = find(id);
        return e != nullptr ? e->config.user : nullptr;
    }
    std::size_t size() const noexcept { return terminals_.size() - graveyard_.size(); }
    std::size_t online() const noexcept { return online_; }

    // Foreign descriptors in the same loop (for example an MQTT client's
    // socket). The handler runs on the loop's thread; rewatch() changes what
    // is waited for; unwatch() before closing the descriptor. All three are
    // safe inside callbacks. watch() returns 0 when the descriptor cannot be
    // added.
    WatchId watch(native_socket_t socket, bool want_read, bool want_write, WatchHandler handler) {
        auto w = std::make_unique<Watch>();
        w->socket = socket;
        w->handler = std::move(handler);
        const WatchId id = next_id_++ | kWatchKind;
        watches_.emplace(id, std::move(w));
        if (!reactor_.add(socket, id, want_read, want_write)) {
            watches_.erase(id);
            return 0;
        }
        return id;
    }
    bool rewatch(WatchId id, bool want_read, bool want_write) noexcept {
        const auto i = watches_.find(id);
        return i != watches_.end() && !i->second->dead &&
               reactor_.modify(i->second->socket, id, want_read, want_write);
    }
    bool unwatch(WatchId id) {
        const auto i = watches_.find(id);
        if (i == watches_.end() || i->second->dead) {
            return false;
        }
        reactor_.remove(i->second->socket);
        i->second->dead = true;
        dead_watches_.push_back(id);
        if (depth_ == 0) {
            reap();
        }
        return true;
    }

    // Runs `fn` once on the loop's thread after `delay`. cancel() before it
    // ran returns true.
    TimerId after(std::chrono::milliseconds delay, std::function<void()> fn) {
        const TimerId id = next_id_++ | kTimerKind;
        const auto at = detail::later(Clock::now(), delay);
        timers_.emplace(id, std::move(fn));
        push_due({at, id});
        return id;
    }
    bool cancel(TimerId id) {
        if (timers_.erase(id) == 0) {
            return false;
        }
        // Its heap entry stays until it comes up; a host that re-arms long
        // timers all the time would pile them up, so they are swept out once
        // they outnumber the live ones.
        if (++stale_ > heap_.size() / 2 + 1024) {
            sweep();
        }
        return true;
    }

    // Any thread: runs `fn` on the loop's thread in its next round.
    void post(std::function<void()> fn) {
        {
            const std::lock_guard lock(posted_mutex_);
            posted_.push_back(std::move(fn));
        }
        reactor_.wake();
    }
    // Any thread: ends the current or next wait early.
    void wake() noexcept { reactor_.wake(); }
    // Any thread: run() returns after its current round (also when stop()
    // came before run() started).
    void stop() noexcept {
        stop_.store(true);
        reactor_.wake();
    }

    // One round: waits up to `max_wait` (less when a deadline is nearer) for
    // readiness, then serves ready sockets, due deadlines and posted work.
    // Returns the number of callbacks and terminal transitions handled.
    std::size_t run_once(std::chrono::milliseconds max_wait);
    // Rounds until stop(); returns at once when !ok().
    void run() {
        while (ok() && !stop_.exchange(false)) {
            run_once(std::chrono::hours{1});
        }
    }

private:
    static constexpr std::uint64_t kTerminalKind = 0;
    static constexpr std::uint64_t kWatchKind = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kTimerKind = std::uint64_t{2} << 62;
    static constexpr std::uint64_t kKindMask = std::uint64_t{3} << 62;
    static constexpr Clock::time_point kNever = Clock::time_point::max();
    // Results delivered per terminal per round before the others get a turn.
    static constexpr int kDrainPerRound = 64;

    struct Entry {
        TerminalId id = 0;
        TerminalConfig config;
        State state = State::Waiting;
        Terminal terminal;
        native_socket_t socket = -1;  // registered with the reactor
        bool removed = false;
        bool pending = false;         // results left over after a round's share
        bool touched = false;         // handed out by terminal() since the last round
        unsigned failures = 0;        // since last online for reset_after
        unsigned attempt = 0;
        Clock::time_point retry_at = kNever;
        Clock::time_point connect_deadline = kNever;
        Clock::time_point online_since{};
        Clock::time_point last_received{};
        Clock::time_point next_alive = kNever;
        Clock::time_point scheduled = kNever;  // the live heap entry's time
    };
    struct Watch {
        native_socket_t socket = -1;
        WatchHandler handler;
        bool dead = false;
    };
    struct Due {
        Clock::time_point at;
        std::uint64_t key;
        bool operator>(const Due &o) const noexcept { return at > o.at; }
    };

    static std::uint32_t seed() noexcept {
        return static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    }

    Entry *find(TerminalId id) noexcept {
        const auto i = terminals_.find(id);
        return i == terminals_.end() || i->second->removed ? nullptr : i->second.get();
    }
    const Entry *find(TerminalId id) const noexcept {
        const auto i = terminals_.find(id);
        return i == terminals_.end() || i->second->removed ? nullptr : i->second.get();
    }

    void drop_socket(Entry &e) noexcept {
        if (e.socket != -1) {
            reactor_.remove(e.socket);
            e.socket = -1;
        }
        if (e.state == State::Online) {
            --online_;
            e.state = State::Lost;
        }
        e.terminal.close();
    }

    void reap() {
        for (const TerminalId id : graveyard_) {
            terminals_.erase(id);
        }
        graveyard_.clear();
        for (const WatchId id : dead_watches_) {
            watches_.erase(id);
        }
        dead_watches_.clear();
    }

    Clock::time_point next_due(const Entry &e) const noexcept {
        switch (e.state) {
        case State::Connecting:
            return e.connect_deadline;
        case State::Waiting:
            return e.retry_at;
        case State::Online: {
            Clock::time_point t = e.next_alive;
            if (e.config.auto_report != 0) {
                t = std::min(t, e.last_received + liveness_bound(e));
            }
            return t;
        }
        case State::Lost:
            break;
        }
        return kNever;
    }
    static std::chrono::milliseconds liveness_bound(const Entry &e) noexcept {
        return std::chrono::milliseconds{350} * e.config.auto_report;
    }

    void push_due(const Due &d) {
        heap_.push_back(d);
        std::push_heap(heap_.begin(), heap_.end(), std::greater<>{});
    }
    bool live(const Due &d) const noexcept {
        if ((d.key & kKindMask) == kTimerKind) {
            return timers_.count(d.key) != 0;
        }
        const Entry *e = find(d.key);
        return e != nullptr && e->scheduled == d.at;
    }
    void sweep() {
        std::erase_if(heap_, [this](const Due &d) { return !live(d); });
        std::make_heap(heap_.begin(), heap_.end(), std::greater<>{});
        stale_ = 0;
    }

    // Keeps one heap entry per terminal at its earliest deadline; entries
    // whose time no longer matches are skipped when they come up.
    void schedule(Entry &e) {
        const auto t = next_due(e);
        if (t < e.scheduled) {
            if (e.scheduled != kNever) {
                ++stale_;
            }
            e.scheduled = t;
            push_due({t, e.id});
        }
    }

    void notify(Entry &e, State s, std::string_view why = {}) {
        if (on_state_) {
            StateChange c;
            c.id = e.id;
            c.state = s;
            c.user = e.config.user;
            c.reason = why;
            c.retry_at = s == State::Waiting ? e.retry_at : Clock::time_point{};
            c.attempt = e.attempt;
            ++handled_;
            on_state_(c);
        }
    }

    std::chrono::milliseconds backoff_delay(unsigned failures) {
        double ms = static_cast<double>(backoff_.initial.count());
        for (unsigned i = 0; i < failures && ms < static_cast<double>(backoff_.maximum.count()); ++i) {
            ms *= 2;
        }
        ms = std::min(ms, static_cast<double>(backoff_.maximum.count()));
        const double j = std::clamp(backoff_.jitter, 0.0, 1.0);
        std::uniform_real_distribution<double> factor(1.0 - j, 1.0 + j);
        const double year = 365.0 * 24 * 3600 * 1000;
        return std::chrono::milliseconds{static_cast<long long>(std::clamp(ms * factor(random_), 0.0, year))};
    }

    void wait_to_retry(Entry &e, Clock::time_point now, std::string_view why) {
        e.retry_at = detail::later(now, backoff_delay(e.failures));
        ++e.failures;
        e.state = State::Waiting;
        schedule(e);
        notify(e, State::Waiting, why);
    }

    void start_connect(Entry &e, Clock::time_point now) {
        ++e.attempt;
        e.terminal = Terminal(VQ6120Ex_StartOpen(e.config.endpoint.address, e.config.endpoint.port));
        const native_socket_t s = e.terminal.native_socket();
        if (!e.terminal || !reactor_.add(s, e.id, false, true)) {
            e.terminal.close();
            wait_to_retry(e, now, reason::kConnectFailed);
            return;
        }
        e.socket = s;
        e.state = State::Connecting;
        e.connect_deadline = detail::later(now, e.config.connect_limit);
        schedule(e);
        notify(e, State::Connecting);
    }

    void fail_connect(Entry &e, Clock::time_point now, std::string_view why) {
        drop_socket(e);
        e.connect_deadline = kNever;
        wait_to_retry(e, now, why);
    }

    void go_online(Entry &e, Clock::time_point now) {
        if (!reactor_.modify(e.socket, e.id, true, false)) {
            fail_connect(e, now, reason::kConnectFailed);
            return;
        }
        e.state = State::Online;
        ++online_;
        e.connect_deadline = kNever;
        e.online_since = e.last_received = now;
        Terminal &t = e.terminal;
        if (e.config.keepalive_idle_seconds > 0) {
            t.set_keepalive(e.config.keepalive_idle_seconds, e.config.keepalive_interval_seconds,
                            e.config.keepalive_count);
        }
        if (e.config.auto_report != 0) {
            t.set_auto_report(e.config.auto_report);
        }
        if (e.config.host_alive_seconds != 0) {
            t.set_host_alive_check(e.config.host_alive_seconds);
            t.send_host_alive();
            e.next_alive = now + alive_interval(e);
        }
        schedule(e);
        notify(e, State::Online);
    }
    static std::chrono::milliseconds alive_interval(const Entry &e) noexcept {
        return std::chrono::milliseconds{1000} * e.config.host_alive_seconds / 3;
    }

    void lose(Entry &e, Clock::time_point now, std::string_view why) {
        drop_socket(e);
        e.next_alive = kNever;
        e.state = State::Lost;
        if (now - e.online_since >= backoff_.reset_after) {
            e.failures = 0;
            e.attempt = 0;
        }
        notify(e, State::Lost, why);
        if (!e.removed) {
            wait_to_retry(e, now, why);
        }
    }

    // A terminal's socket is ready.
    void on_ready(Entry &e, bool readable, bool writable, Clock::time_point now) {
        if (e.state == State::Connecting && writable) {
            switch (VQ6120Ex_FinishOpen(e.terminal.handle(), 0)) {
            case 1:
                go_online(e, now);
                break;
            case 0:
                fail_connect(e, now, reason::kConnectFailed);
                break;
            default:
                break;
            }
        } else if (e.state == State::Online && readable) {
            drain(e, now);
        }
    }

    void queue_pending(Entry &e) {
        if (!e.pending) {
            pending_.push_back(e.id);
            e.pending = true;
        }
    }

    // Delivers up to a round's share of the terminal's results. On return
    // `pending` says whether it is queued in pending_ for more in the next
    // round (an id queued but no longer pending is skipped there).
    void drain(Entry &e, Clock::time_point now) {
        for (int i = 0; i < kDrainPerRound; ++i) {
            std::optional<Event> event;
            switch (detail::next_event(e.terminal.handle(), event)) {
            case detail::Next::Closed:
                e.pending = false;
                lose(e, now, reason::kClosed);
                return;
            case detail::Next::Nothing:
                e.pending = false;
                return;
            case detail::Next::Delivered:
                // Only whole frames prove the link: bytes that never make a
                // frame (a stream out of step) do not keep a terminal alive.
                e.last_received = now;
                ++handled_;
                if (on_event_) {
                    // Queued before the callback, so that frames buffered
                    // behind this one are not stranded should it throw.
                    if (e.terminal.buffered_bytes() > 0) {
                        queue_pending(e);
                    }
                    on_event_(e.id, e.config.user, *event);
                }
                if (e.removed || e.state != State::Online) {
                    return;
                }
                // Nothing left in the library's buffer: whatever the socket
                // still holds makes it ready again in the next round, so the
                // read that would only find it empty is saved.
                if (e.terminal.buffered_bytes() == 0) {
                    e.pending = false;
                    return;
                }
                break;
            }
        }
        queue_pending(e);
    }

    // A terminal's earliest deadline came up.
    void on_due(Entry &e, Clock::time_point now) {
        switch (e.state) {
        case State::Waiting:
            if (now >= e.retry_at) {
                e.retry_at = kNever;
                start_connect(e, now);
                return;
            }
            break;
        case State::Connecting:
            if (now >= e.connect_deadline) {
                // The handshake may have completed without the wait telling
                // us yet: one last look before giving up.
                if (VQ6120Ex_FinishOpen(e.terminal.handle(), 0) == 1) {
                    go_online(e, now);
                } else {
                    fail_connect(e, now, reason::kConnectTimeout);
                }
                return;
            }
            break;
        case State::Online:
            if (e.config.auto_report != 0 && now >= e.last_received + liveness_bound(e)) {
                lose(e, now, reason::kNoAutoReport);
                return;
            }
            if (now >= e.next_alive) {
                e.terminal.send_host_alive();
                e.next_alive = std::max(e.next_alive + alive_interval(e), now);
            }
            break;
        case State::Lost:
            break;
        }
        schedule(e);
    }

    Backoff backoff_;
    detail::Reactor reactor_;
    std::minstd_rand random_;
    StateHandler on_state_;
    EventHandler on_event_;
    std::unordered_map<TerminalId, std::unique_ptr<Entry>> terminals_;
    std::unordered_map<WatchId, std::unique_ptr<Watch>> watches_;
    std::unordered_map<TimerId, std::function<void()>> timers_;
    // A min-heap (std::push_heap with std::greater) of deadlines, some stale.
    std::vector<Due> heap_;
    std::size_t stale_ = 0;
    std::deque<TerminalId> pending_;
    std::vector<TerminalId> touched_;
    std::vector<TerminalId> graveyard_;
    std::vector<WatchId> dead_watches_;
    std::mutex posted_mutex_;
    std::deque<std::function<void()>> posted_;
    std::atomic<bool> stop_{false};
    std::uint64_t next_id_ = 1;
    std::size_t online_ = 0;
    std::size_t handled_ = 0;
    int depth_ = 0;
};

inline std::size_t Poller::run_once(std::chrono::milliseconds max_wait) {
    // Removals asked for by callbacks are carried out when the round ends,
    // so nothing a callback's caller still uses goes away under it.
    struct Depth {
        Poller &p;
        explicit Depth(Poller &poller) : p(poller) { ++p.depth_; }
        ~Depth() {
            if (--p.depth_ == 0) {
                p.reap();
            }
        }
    } depth(*this);
    handled_ = 0;

    // Work posted so far, one at a time: what a throwing function leaves
    // behind stays queued, and work posted meanwhile waits for the next round.
    std::size_t posted = 0;
    {
        const std::lock_guard lock(posted_mutex_);
        posted = posted_.size();
    }
    for (; posted > 0; --posted) {
        std::function<void()> fn;
        {
            const std::lock_guard lock(posted_mutex_);
            fn = std::move(posted_.front());
            posted_.pop_front();
        }
        ++handled_;
        fn();
    }

    // Terminals used through terminal(): a call that read (a probe) can
    // leave whole frames buffered where no readiness shows them.
    for (const TerminalId id : touched_) {
        Entry *e = find(id);
        if (e == nullptr) {
            continue;
        }
        e->touched = false;
        if (e->state == State::Online && e->terminal.buffered_bytes() > 0) {
            queue_pending(*e);
        }
    }
    touched_.clear();

    auto now = Clock::now();
    std::chrono::milliseconds wait = std::max(max_wait, std::chrono::milliseconds{0});
    const bool more = std::any_of(pending_.begin(), pending_.end(), [this](TerminalId id) {
        const Entry *e = find(id);
        return e != nullptr && e->pending;
    });
    if (more || stop_.load()) {
        wait = std::chrono::milliseconds{0};
    } else if (!heap_.empty()) {
        wait = std::min(wait, std::max(std::chrono::ceil<std::chrono::milliseconds>(heap_.front().at - now),
                                       std::chrono::milliseconds{0}));
    }
    reactor_.wait(detail::clamp_ms(wait), [&](std::uint64_t key, bool readable, bool writable) {
        const auto at = Clock::now();
        if ((key & kKindMask) == kWatchKind) {
            const auto i = watches_.find(key);
            if (i != watches_.end() && !i->second->dead) {
                ++handled_;
                // An unwatch() inside the handler keeps the record until the
                // round ends.
                i->second->handler(readable, writable);
            }
            return;
        }
        if (Entry *e = find(key)) {
            on_ready(*e, readable, writable, at);
        }
    });

    // Terminals with results left from their share, oldest first; those
    // that fill their share again queue up behind for the next round.
    for (std::size_t n = pending_.size(); n > 0; --n) {
        const TerminalId id = pending_.front();
        pending_.pop_front();
        Entry *e = find(id);
        if (e != nullptr && e->pending) {
            e->pending = false;
            if (e->state == State::Online) {
                drain(*e, Clock::now());
            }
        }
    }

    now = Clock::now();
    for (std::size_t budget = heap_.size(); budget > 0 && !heap_.empty() && heap_.front().at <= now; --budget) {
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<>{});
        const Due due = heap_.back();
        heap_.pop_back();
        if ((due.key & kKindMask) == kTimerKind) {
            const auto i = timers_.find(due.key);
            if (i == timers_.end()) {
                stale_ -= stale_ > 0 ? 1 : 0;
            } else {
                auto fn = std::move(i->second);
                timers_.erase(i);
                ++handled_;
                fn();
            }
            continue;
        }
        Entry *e = find(due.key);
        if (e == nullptr || e->scheduled != due.at) {
            stale_ -= stale_ > 0 ? 1 : 0;
            continue;
        }
        e->scheduled = kNever;
        on_due(*e, now);
    }
    return handled_;
}

}  // namespace vq6120
