// vq6120: drive a terminal from the shell. One subcommand per terminal
// operation, named after it and taking the library's own value ranges; `probe`
// checks that a peer is a VQ6120 terminal and `monitor` prints everything the
// terminal sends.
//
// Exit status: 0 success, 2 refused argument, 3 connect failed, 4 connection
// lost, 5 probe or request unanswered.
#include <CLI/CLI.hpp>
#include <netdb.h>
#include <sys/socket.h>
#include <netinet/in.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "VQ6120_LIB.h"
#include "monitor_text.hpp"

namespace {

constexpr int kExitRefused = 2;
constexpr int kExitConnect = 3;
constexpr int kExitLost = 4;
constexpr int kExitUnanswered = 5;
constexpr std::uint16_t kDefaultPort = 16120;

volatile std::sig_atomic_t g_interrupted = 0;

struct Target {
    std::uint32_t address = 0;  // network byte order
    std::uint16_t port = kDefaultPort;
};

// HOST or HOST:PORT; HOST is a name or an IPv4 address.
std::optional<Target> resolve(const std::string &spec, std::string &error) {
    std::string host = spec;
    Target t;
    if (const auto colon = spec.rfind(':'); colon != std::string::npos) {
        host = spec.substr(0, colon);
        const std::string port = spec.substr(colon + 1);
        char *end = nullptr;
        const long p = std::strtol(port.c_str(), &end, 10);
        if (port.empty() || *end != '\0' || p < 1 || p > 65535) {
            error = "port '" + port + "' is not in 1..65535";
            return std::nullopt;
        }
        t.port = static_cast<std::uint16_t>(p);
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        error = "cannot resolve '" + host + "': " + gai_strerror(rc);
        return std::nullopt;
    }
    t.address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return t;
}

void print_frame(int result, const std::uint8_t *payload, int length) {
    std::printf("%s\n", vq6120::tools::monitor_text(result, {payload, static_cast<std::size_t>(length)}).c_str());
    std::fflush(stdout);
}

class Session {
public:
    explicit Session(const Target &t) : handle_(InitialVQ6120(t.address, t.port)) {}
    ~Session() { ExitVQ6120(handle_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    VQ6120_HANDLE handle() const { return handle_; }

    // Polls until a frame with `want` arrives, printing nothing else, for up
    // to `seconds`. Returns the exit status.
    int await(int want, int seconds) {
        std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
        for (int i = 0; i < seconds * 100 && !g_interrupted; ++i) {
            std::int32_t length = sizeof payload;
            const int r = GetDataFromEthernet(handle_, payload, &length, 1);
            if (r == VQ6120_RECV_CLOSED) return lost();
            if (r == want) {
                print_frame(r, payload, length);
                return 0;
            }
        }
        std::fprintf(stderr, "vq6120: no answer from the terminal\n");
        return kExitUnanswered;
    }

    int monitor(int seconds) {
        std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
        const long polls = seconds > 0 ? seconds * 100L : -1;
        for (long i = 0; (polls < 0 || i < polls) && !g_interrupted; ++i) {
            std::int32_t length = sizeof payload;
            const int r = GetDataFromEthernet(handle_, payload, &length, 1);
            if (r == VQ6120_RECV_CLOSED) return lost();
            if (r != VQ6120_RECV_NOTHING) print_frame(r, payload, length);
        }
        return 0;
    }

    static int lost() {
        std::fprintf(stderr, "vq6120: connection lost\n");
        return kExitLost;
    }

private:
    VQ6120_HANDLE handle_;
};

// A subcommand that sends one command; `run` gets the connected handle and
// returns the library's result.
struct Operation {
    CLI::App *app;
    std::function<int(VQ6120_HANDLE)> run;
};

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Drive a VQ6120 terminal: send one command, probe it, or monitor what it sends."};
    app.require_subcommand(1);
    std::string target_spec;
    app.add_option("target", target_spec, "HOST or HOST:PORT of the terminal (port " + std::to_string(kDefaultPort) +
                                              " when left out)");
    int probe_timeout = 2;
    int wait_seconds = 2;

    std::vector<Operation> ops;
    auto op = [&](const char *name, const char *help, std::function<int(VQ6120_HANDLE)> run) {
        CLI::App *sub = app.add_subcommand(name, help);
        ops.push_back({sub, std::move(run)});
        return sub;
    };
    const auto X = CLI::Range(0, 239), Y = CLI::Range(0, 63), S = CLI::Range(0, 32), F = CLI::Range(0, 1),
               B = CLI::Range(0, 255);

    // Graphic screen.
    std::int16_t x = 0, y = 0, x2 = 0, y2 = 0, size = 0, size_b = 0;
    int mode = 0, flag = 0, direction = 0, v1 = 0, v2 = 0, v3 = 0, port = 1;
    std::string text;
    op("clear-graphic", "Clear the graphic screen", [](auto h) { return ClearGraphicScreen(h); });
    auto *pixel = op("draw-pixel", "Set one pixel", [&](auto h) { return DrawPixel(h, x, y); });
    pixel->add_option("x", x, "0..239")->required()->check(X);
    pixel->add_option("y", y, "0..63")->required()->check(Y);
    auto *line = op("draw-line", "Draw a line", [&](auto h) { return DrawLine(h, x, y, x2, y2); });
    auto *rect = op("draw-rect", "Draw a rectangle", [&](auto h) {
        return DrawRectangle(h, x, y, x2, y2, static_cast<std::uint8_t>(mode));
    });
    for (CLI::App *sub : {line, rect}) {
        sub->add_option("x1", x, "0..239")->required()->check(X);
        sub->add_option("y1", y, "0..63")->required()->check(Y);
        sub->add_option("x2", x2, "0..239")->required()->check(X);
        sub->add_option("y2", y2, "0..63")->required()->check(Y);
    }
    rect->add_option("--mode", mode, "0 outline, 1 filled")->check(F);
    auto *circle = op("draw-circle", "Draw a circle", [&](auto h) {
        return DrawCircle(h, x, y, size, static_cast<std::uint8_t>(mode));
    });
    circle->add_option("x", x, "0..239")->required()->check(X);
    circle->add_option("y", y, "0..63")->required()->check(Y);
    circle->add_option("size", size, "0..32")->required()->check(S);
    circle->add_option("--mode", mode, "0 outline, 1 filled")->check(F);
    auto *ellipse = op("draw-ellipse", "Draw an ellipse", [&](auto h) {
        return DrawEllipse(h, x, y, size, size_b, static_cast<std::uint8_t>(mode));
    });
    auto *rhombus = op("draw-rhombus", "Draw a rhombus", [&](auto h) { return DrawRhombus(h, x, y, size, size_b); });
    for (CLI::App *sub : {ellipse, rhombus}) {
        sub->add_option("x", x, "0..239")->required()->check(X);
        sub->add_option("y", y, "0..63")->required()->check(Y);
        sub->add_option("size-a", size, "0..32")->required()->check(S);
        sub->add_option("size-b", size_b, "0..32")->required()->check(S);
    }
    ellipse->add_option("--mode", mode, "0 outline, 1 filled")->check(F);
    auto *draw_text = op("draw-text", "Draw text at a pixel position", [&](auto h) {
        return DrawAText(h, x, y, text.data(), static_cast<std::int32_t>(text.size()));
    });
    draw_text->add_option("x", x, "0..239")->required()->check(X);
    draw_text->add_option("y", y, "0..63")->required()->check(Y);

    // Text screen and keyboard display.
    const auto text_run = [](const std::string &t) {
        return t.size() >= 1 && t.size() <= 240 ? std::string{} : "text length " + std::to_string(t.size()) +
                                                                      " is not in 1..240";
    };
    draw_text->add_option("text", text, "1..240 bytes")->required()->check(text_run);
    op("clear-text", "Clear the text screen", [](auto h) { return ClearText(h); });
    auto *cursor = op("cursor", "Place the text cursor", [&](auto h) { return SetScreenCursorPos(h, x, y); });
    cursor->add_option("x", x, "0..239")->required()->check(X);
    cursor->add_option("y", y, "0..63")->required()->check(Y);
    auto *write = op("text", "Write text at the cursor", [&](auto h) {
        return WriteText(h, text.data(), static_cast<std::int32_t>(text.size()), static_cast<std::uint8_t>(flag));
    });
    auto *kb_write = op("keyboard-text", "Write text to the keyboard display", [&](auto h) {
        return WriteKeyboardText(h, text.data(), static_cast<std::int32_t>(text.size()),
                                 static_cast<std::uint8_t>(flag));
    });
    for (CLI::App *sub : {write, kb_write}) {
        sub->add_option("text", text, "1..240 bytes")->required()->check(text_run);
        sub->add_option("--flag", flag, "0..1")->check(F);
    }
    auto *scroll = op("scroll", "Scroll the text screen one line",
                      [&](auto h) { return ScrolloneLine(h, static_cast<std::uint8_t>(direction)); });
    op("clear-keyboard", "Clear the keyboard display", [](auto h) { return ClearKeyboard(h); });
    auto *kb_scroll = op("scroll-keyboard", "Scroll the keyboard display one line",
                         [&](auto h) { return ScrollKeyboardoneLine(h, static_cast<std::uint8_t>(direction)); });
    for (CLI::App *sub : {scroll, kb_scroll}) {
        sub->add_option("direction", direction, "0..1")->required()->check(F);
    }

    // I/O and housekeeping.
    auto *outputs = op("do", "Set the digital outputs", [&](auto h) {
        return WriteDOStatus(h, static_cast<std::uint8_t>(v1), static_cast<std::uint8_t>(v2));
    });
    outputs->add_option("first", v1, "0..1")->required()->check(F);
    outputs->add_option("second", v2, "0..1")->required()->check(F);
    auto *beep = op("beep", "Drive the beeper", [&](auto h) {
        return SetBeeperTime(h, static_cast<std::uint8_t>(v1), static_cast<std::uint8_t>(v2),
                             static_cast<std::uint8_t>(v3));
    });
    beep->add_option("value1", v1, "0..255")->required()->check(B);
    beep->add_option("value2", v2, "0..255")->required()->check(B);
    beep->add_option("value3", v3, "0..255")->required()->check(B);
    struct ByteCommand {
        const char *name, *help, *arg, *range;
        int32_t (*fn)(VQ6120_HANDLE, uint8_t);
    };
    for (const ByteCommand &c : {ByteCommand{"auto-report", "Set the automatic input report time", "time", "0..255", SetAutoReportTime},
                                 ByteCommand{"led", "Set the LED", "value", "0..255", SetLED},
                                 ByteCommand{"backlight", "Switch the LCD backlight", "flag", "0..1", SetLCDBacklight},
                                 ByteCommand{"alive-check", "Set up the host-alive check", "value", "0..255", SetHostAliveCheck}}) {
        auto *sub = op(c.name, c.help, [&v1, fn = c.fn](auto h) { return fn(h, static_cast<std::uint8_t>(v1)); });
        sub->add_option(c.arg, v1, c.range)->required()->check(std::strcmp(c.range, "0..1") == 0 ? F : B);
    }
    op("alive", "Send the host-alive signal", [](auto h) { return SendHostAlive(h); });

    // Serial pass-through.
    std::uint32_t baud = 9600;
    int option_a = 0, data_bits = 8, stop_bits = 1, option_b = 0, option_c = 0;
    auto *com = op("com-config", "Set a serial port's line", [&](auto h) {
        return ConfigureCOM(h, baud, static_cast<std::uint8_t>(option_a), static_cast<std::uint8_t>(data_bits),
                            static_cast<std::uint8_t>(stop_bits), static_cast<std::uint8_t>(option_b),
                            static_cast<std::uint8_t>(option_c), static_cast<std::uint8_t>(port));
    });
    com->add_option("port", port, "1..2")->required()->check(CLI::Range(1, 2));
    com->add_option("baud", baud, "1200 2400 4800 9600 19200 38400 57600 115200")
        ->required()
        ->check(CLI::IsMember({1200u, 2400u, 4800u, 9600u, 19200u, 38400u, 57600u, 115200u}));
    com->add_option("--option-a", option_a, "0..3")->check(CLI::Range(0, 3));
    com->add_option("--data-bits", data_bits, "7..8")->check(CLI::Range(7, 8));
    com->add_option("--stop-bits", stop_bits, "1..2")->check(CLI::Range(1, 2));
    com->add_option("--option-b", option_b, "0..1")->check(F);
    com->add_option("--option-c", option_c, "0..255")->check(B);
    auto *com_send = op("com-send", "Send data out of a serial port", [&](auto h) {
        return SendCOMData(h, reinterpret_cast<const std::uint8_t *>(text.data()), static_cast<std::int32_t>(text.size()),
                           static_cast<std::uint8_t>(port));
    });
    com_send->add_option("port", port, "1..2")->required()->check(CLI::Range(1, 2));
    com_send->add_option("data", text, "bytes to send")->required()->check([](const std::string &t) {
        return t.empty() ? std::string("data must not be empty") : std::string{};
    });

    // Requests that wait for their answer, the probe and the monitor.
    auto *di = app.add_subcommand("di", "Read the digital inputs and print them");
    auto *model = app.add_subcommand("model", "Ask the terminal for its model name and print it");
    for (CLI::App *sub : {di, model}) {
        sub->add_option("--wait", wait_seconds, "seconds to wait for the answer (1..60)")->check(CLI::Range(1, 60));
    }
    auto *probe = app.add_subcommand("probe", "Check that HOST is a VQ6120 terminal");
    auto *monitor = app.add_subcommand("monitor", "Print every frame the terminal sends until interrupted");
    int monitor_seconds = 0;
    std::string sub_target;
    for (CLI::App *sub : {probe, monitor}) {
        sub->add_option("host", sub_target, "HOST or HOST:PORT of the terminal");
    }
    probe->add_option("--timeout", probe_timeout, "seconds to wait for the answer (0..255)")->check(CLI::Range(0, 255));
    monitor->add_option("--seconds", monitor_seconds, "stop after this many seconds (0: until interrupted)")
        ->check(CLI::Range(0, 86400));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int rc = app.exit(e);
        return rc == 0 ? 0 : kExitRefused;
    }

    if (!sub_target.empty()) target_spec = sub_target;
    if (target_spec.empty()) {
        std::fprintf(stderr, "vq6120: no terminal given (HOST or HOST:PORT)\n");
        return kExitRefused;
    }
    std::string error;
    const auto target = resolve(target_spec, error);
    if (!target) {
        std::fprintf(stderr, "vq6120: %s\n", error.c_str());
        return kExitRefused;
    }
    Session session(*target);
    if (session.handle() == nullptr) {
        std::fprintf(stderr, "vq6120: cannot connect to %s\n", target_spec.c_str());
        return kExitConnect;
    }
    std::signal(SIGINT, [](int) { g_interrupted = 1; });
    std::signal(SIGTERM, [](int) { g_interrupted = 1; });

    if (probe->parsed()) {
        if (GetConnectStatus(session.handle(), static_cast<std::uint8_t>(probe_timeout)) == 1) {
            std::printf("%s is a VQ6120 terminal\n", target_spec.c_str());
            return 0;
        }
        std::fprintf(stderr, "vq6120: %s did not answer as a VQ6120 terminal\n", target_spec.c_str());
        return kExitUnanswered;
    }
    if (monitor->parsed()) return session.monitor(monitor_seconds);
    if (di->parsed()) {
        ReadDIStatus(session.handle());
        return session.await(VQ6120_RECV_DI_STATUS, wait_seconds);
    }
    if (model->parsed()) {
        GetModalName(session.handle());
        return session.await(VQ6120_RECV_MODEL_NAME, wait_seconds);
    }
    for (const Operation &o : ops) {
        if (o.app->parsed()) {
            if (o.run(session.handle()) != 1) {
                std::fprintf(stderr, "vq6120: the library refused the command\n");
                return kExitRefused;
            }
            // A command only hands its frame to the socket; an orderly close
            // lets it reach the terminal before the process ends.
            return 0;
        }
    }
    return kExitRefused;
}
