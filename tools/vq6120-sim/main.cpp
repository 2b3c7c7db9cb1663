// vq6120-sim: a virtual VQ6120 terminal on a TCP port.
#include <CLI/CLI.hpp>

#include <csignal>
#include <fstream>
#include <iostream>

#include "server.hpp"

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
    app.set_version_flag("--version", std::string("vq6120-sim ") + VQ6120_TOOLS_VERSION);
    vq6120::sim::Options options;
    std::string script;
    bool no_stdin = false;
    app.add_option("--address", options.address, "IPv4 address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "TCP port to listen on; 0 picks a free one")->capture_default_str();
    app.add_option("--script", script, "file of operator commands, run first")->check(CLI::ExistingFile);
    app.add_flag("--verbose,-v", options.verbose, "log every frame received and sent, decoded, on stderr");
    app.add_option("--snapshot-on-exit", options.snapshot_on_exit, "write a PNG of the terminal when stopping");
    app.add_flag("--no-stdin", no_stdin, "do not read operator commands from standard input");
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

    running = &sim;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    const int status = sim.run();
    running = nullptr;
    return status;
}
