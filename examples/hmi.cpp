// A small HMI on one terminal: a logo, a title and a big value in a real
// font, a bar graph of the last hours, a status line in the terminal's own
// text, and the keyboard display's soft keys. The whole terminal is kept as
// wanted state (vq6120::display::Display); each cycle changes a few values
// and sync() sends only what differs. A lost connection is opened again and
// the whole state sent anew.
//   hmi HOST[:PORT] [CYCLES] [FONT_DIR] [LOGO]
// Against the virtual terminal: vq6120-sim --port 0, then hmi 127.0.0.1:PORT
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "vq6120/display/render.hpp"
#include "vq6120/display/terminal_display.hpp"

using namespace vq6120::display;

int main(int argc, char **argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: hmi HOST[:PORT] [CYCLES] [FONT_DIR] [LOGO]\n");
        return 2;
    }
    const std::string target = argv[1];
    const auto colon = target.find(':');
    const std::string host = target.substr(0, colon);
    const int port = colon == std::string::npos ? 16120 : std::atoi(target.c_str() + colon + 1);
    const int cycles = argc > 2 ? std::atoi(argv[2]) : 20;
    const std::string fonts = argc > 3 ? argv[3] : "/usr/share/fonts/truetype/dejavu";
    const std::string logo_path = argc > 4 ? argv[4] : VQ6120_HMI_LOGO;

    std::string error;
    const auto title = Font::load(fonts + "/DejaVuSans-Bold.ttf", 13, &error);
    const auto big = Font::load(fonts + "/DejaVuSans-Bold.ttf", 24, &error);
    const auto small = Font::load(fonts + "/DejaVuSans.ttf", 10, &error);
    const GreyImage logo = load_grey(logo_path, &error);
    if (!title || !big || !small || logo.width == 0) {
        std::fprintf(stderr, "hmi: %s\n", error.c_str());
        return 1;
    }

    Display display;  // the interface only: no use of the simulator's cell behaviour
    Canvas &c = display.canvas();
    draw_image(c, 0, 0, logo, Dither::Threshold);
    title->draw(c, 44, 1, "Mixer 3");
    c.fill(44, 17, 130, 17);
    display.keyboard().put(0, 1, "F1 LOG  F2 SET  STOP");
    display.text().put(0, 0, "Mixer 3 ready");
    display.set_led(1);

    std::vector<int> hours = {42, 55, 61, 58, 70, 66, 74, 80};
    VQ6120_HANDLE t = nullptr;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        // The state: the temperature, the bar graph, the status line.
        const double temperature = 71.0 + (cycle % 7) * 0.3;
        char value[16];
        std::snprintf(value, sizeof value, "%.1f", temperature);
        draw_big_value(c, 130, 26, 86, *big, value, *small, "\xC2\xB0" "C");
        hours.back() = 60 + (cycle * 7) % 35;
        draw_bar_graph(c, 140, 0, 100, 64, hours, 100);
        char status[24];
        std::snprintf(status, sizeof status, "RUN  CYCLE %-4d", cycle);
        c.draw_terminal_text(0, 56, status, 15);
        display.set_outputs(true, cycle % 2 == 1);

        if (t == nullptr) {
            t = VQ6120Ex_Open(inet_addr(host.c_str()), static_cast<std::uint16_t>(port), 2000);
            display.forget();  // a new connection: whatever it shows, send everything
        }
        if (t == nullptr) {
            std::fprintf(stderr, "hmi: cannot connect to %s\n", target.c_str());
        } else if (const SyncResult r = display.sync(t); r.sent) {
            std::printf("cycle %d: %d commands, %d bytes\n", cycle, r.commands, r.bytes);
        } else {
            std::fprintf(stderr, "hmi: connection lost; opening it again\n");
            ExitVQ6120(t);
            t = nullptr;
        }
        std::fflush(stdout);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    ExitVQ6120(t);
    return 0;
}
