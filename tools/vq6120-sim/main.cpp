// vq6120-sim: a virtual VQ6120 terminal on a TCP port.
#include <CLI/CLI.hpp>

#include <csignal>
#include <fstream>
#include <iostream>
#include <optional>

#include "server.hpp"
#include "web_server.hpp"

namespace {

vq6120::sim::Simulator *running = nullptr;

extern "C" void on_signal(int) {
    if (running != nullptr) {
        running->stop();
    }
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Virtual VQ6120 terminal: serves one host at a time over TCP and shows what it was sent."};
    vq6120::sim::Options options;
    std::string script;
    bool no_stdin = false;
    app.add_option("--address", options.address, "IPv4 address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "TCP port to listen on; 0 picks a free one")->capture_default_str();
    app.add_option("--script", script, "file of operator commands, run first")->check(CLI::ExistingFile);
    app.add_flag("--verbose,-v", options.verbose, "log every frame received and sent, decoded, on stderr");
    app.add_option("--snapshot-on-exit", options.snapshot_on_exit, "write a PNG of the terminal when stopping");
    app.add_flag("--no-stdin", no_stdin, "do not read operator commands from standard input");
    std::string http;
    app.add_option("--http", http,
                   "serve the live view in a browser on ADDRESS:PORT (port 0 picks a free one), e.g. "
                   "127.0.0.1:8080. Whoever reaches it can press keys and set inputs: keep it on loopback");
    CLI11_PARSE(app, argc, argv);

    if (!no_stdin) {
        options.input_fd = 0;
    }
    vq6120::sim::Simulator sim(options, std::cout, std::cerr);
    if (!script.empty()) {
        std::ifstream in(script);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        sim.add_commands(lines);
    }
    std::string error;
    if (!sim.open(error)) {
        std::cerr << "vq6120-sim: " << error << "\n";
        return 1;
    }
    std::cout << "listening on " << options.address << ":" << sim.port() << std::endl;

    vq6120::sim::LiveFeed feed;
    std::optional<vq6120::sim::LiveView> live;
    if (!http.empty()) {
        vq6120::sim::LiveOptions web;
        if (!vq6120::sim::parse_http_address(http, web, error) || !live.emplace(sim, feed, web).start(error)) {
            std::cerr << "vq6120-sim: " << error << "\n";
            return 1;
        }
        sim.watch(&feed);
        std::cout << "http: " << live->url() << std::endl;
    }

    running = &sim;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = sim.run();
    running = nullptr;
    if (live) {
        live->stop();
    }
    return status;
}
