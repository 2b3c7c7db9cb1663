// A plant host in C++: serves several terminals from one thread through the
// Poller. Each terminal shows its name, how long it has been online and the
// last key pressed; a key beeps, counts, and switches the first output on for
// odd key codes; every state change is printed.
//
//   plant 127.0.0.1:16120 127.0.0.1:16121 ...   (Ctrl-C ends it)
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "vq6120.hpp"

namespace {

constexpr const char *kUsage =
    "usage: plant [options] ADDRESS[:PORT]...\n"
    "Serves every terminal named from one thread: draws a status screen on each,\n"
    "reacts to keys, reconnects lost terminals and prints every state change.\n"
    "\n"
    "  --auto-report N    liveness: the terminal reports every N x 100 ms, three\n"
    "                     missed reports mean the link is lost (default 10, 0 off)\n"
    "  --host-alive N     host-alive check of N seconds (default 0, off)\n"
    "  --connect-limit MS time limit of each connect attempt (default 1000)\n"
    "  --seconds N        end after N seconds (default 0: until Ctrl-C)\n"
    "  --help             this text\n"
    "The port defaults to 16120. Exit status: 0 done, 2 bad arguments.\n";

vq6120::Poller *g_poller = nullptr;

extern "C" void on_signal(int) {
    if (g_poller != nullptr) {
        g_poller->stop();
    }
}

struct Station {
    std::string name;
    vq6120::TerminalId id = 0;
    vq6120::Clock::time_point online_since{};
    int keys = 0;
    int last_key = -1;
};

void draw_status(vq6120::Terminal &t, const Station &s) {
    const auto up = std::chrono::duration_cast<std::chrono::seconds>(vq6120::Clock::now() - s.online_since);
    const std::string line1 = "Station " + s.name;
    const std::string line2 = "online " + std::to_string(up.count()) + " s";
    const std::string line3 =
        "keys " + std::to_string(s.keys) + (s.last_key >= 0 ? ", last " + std::to_string(s.last_key) : "");
    // One send for the whole screen.
    auto batch = t.batch();
    t.clear_graphic_screen();
    t.draw_rectangle(0, 0, 239, 63, 0);
    t.draw_text(6, 6, line1);
    t.draw_text(6, 24, line2);
    t.draw_text(6, 42, line3);
}

bool number(const char *text, long low, long high, long &out) {
    char *end = nullptr;
    out = std::strtol(text, &end, 10);
    return end != text && *end == '\0' && out >= low && out <= high;
}

}  // namespace

int main(int argc, char **argv) {
    long auto_report = 10;
    long host_alive = 0;
    long connect_limit = 1000;
    long seconds = 0;
    std::vector<vq6120::Endpoint> endpoints;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        const auto option = [&](long low, long high, long &out) {
            if (i + 1 >= argc || !number(argv[++i], low, high, out)) {
                std::fprintf(stderr, "plant: %s takes a number %ld..%ld\n", a.data(), low, high);
                std::exit(2);
            }
        };
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (a == "--auto-report") {
            option(0, 255, auto_report);
        } else if (a == "--host-alive") {
            option(0, 255, host_alive);
        } else if (a == "--connect-limit") {
            option(1, 600000, connect_limit);
        } else if (a == "--seconds") {
            option(0, 1000000, seconds);
        } else if (const auto e = vq6120::Endpoint::parse(a)) {
            endpoints.push_back(*e);
        } else {
            std::fprintf(stderr, "plant: not an option or ADDRESS[:PORT]: %s\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (endpoints.empty()) {
        std::fputs(kUsage, stderr);
        return 2;
    }

    vq6120::Poller poller;
    if (!poller.ok()) {
        std::fputs("plant: cannot set up the event loop\n", stderr);
        return 1;
    }
    std::vector<Station> stations(endpoints.size());
    for (std::size_t i = 0; i < endpoints.size(); ++i) {
        stations[i].name = endpoints[i].to_string();
        vq6120::TerminalConfig config;
        config.endpoint = endpoints[i];
        config.connect_limit = std::chrono::milliseconds{connect_limit};
        config.auto_report = static_cast<std::uint8_t>(auto_report);
        config.host_alive_seconds = static_cast<std::uint8_t>(host_alive);
        config.user = &stations[i];
        stations[i].id = poller.add(config);
    }

    poller.on_state([&](const vq6120::StateChange &c) {
        auto &s = *static_cast<Station *>(c.user);
        std::printf("%s: %s", s.name.c_str(), vq6120::to_string(c.state).data());
        if (!c.reason.empty()) {
            std::printf(" (%.*s)", static_cast<int>(c.reason.size()), c.reason.data());
        }
        if (c.state == vq6120::State::Waiting) {
            const auto in = std::chrono::duration_cast<std::chrono::milliseconds>(c.retry_at - vq6120::Clock::now());
            std::printf(", next attempt in %lld ms", static_cast<long long>(in.count()));
        }
        std::printf("\n");
        std::fflush(stdout);
        if (c.state == vq6120::State::Online) {
            s.online_since = vq6120::Clock::now();
            draw_status(*poller.terminal(c.id), s);
        }
    });
    poller.on_event([&](vq6120::TerminalId id, void *user, vq6120::Event &event) {
        auto &s = *static_cast<Station *>(user);
        if (const auto *key = std::get_if<vq6120::Key>(&event)) {
            ++s.keys;
            s.last_key = key->code;
            std::printf("%s: key %d\n", s.name.c_str(), key->code);
            std::fflush(stdout);
            vq6120::Terminal &t = *poller.terminal(id);
            t.set_beeper(1, 1, 1);
            t.write_outputs(key->code % 2, 0);
            draw_status(t, s);
        } else if (const auto *serial = std::get_if<vq6120::SerialData>(&event)) {
            std::printf("%s: %zu bytes on serial port %d\n", s.name.c_str(), serial->bytes.size(), serial->port);
        }
    });

    // The status line's "online" time, once a second on every online terminal.
    std::function<void()> refresh = [&] {
        for (const Station &s : stations) {
            if (vq6120::Terminal *t = poller.terminal(s.id)) {
                draw_status(*t, s);
            }
        }
        poller.after(std::chrono::seconds{1}, refresh);
    };
    refresh();

    g_poller = &poller;
    std::signal(SIGINT, on_signal);
    std::signal(SIGTERM, on_signal);
    if (seconds > 0) {
        poller.after(std::chrono::seconds{seconds}, [&] { poller.stop(); });
    }
    poller.run();
    g_poller = nullptr;
    return 0;
}
