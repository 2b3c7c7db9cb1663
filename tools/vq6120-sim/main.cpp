// vq6120-sim: a virtual VQ6120 terminal on a TCP port, or a farm of them.
#include <CLI/CLI.hpp>

#include <fstream>
#include <iostream>
#include <memory>
#include <string>

#include "farm/farm.hpp"
#include "os/os.hpp"
#include "serve/server.hpp"
#include "model/snapshot.hpp"
#include "live_start.hpp"

namespace {

// The few exit statuses, as --help and docs/simulator.md list them.
constexpr int kExitOk = 0;
constexpr int kExitCannotServe = 1;  // cannot listen, too few descriptors, the loop failed
constexpr int kExitUsage = 2;        // a bad option or argument, a script that does not parse

// A port as a user writes it: the number, not the parser's word for a
// value that does not fit 16 bits.
const CLI::Validator kPortNumber(
    [](std::string &value) -> std::string {
        const bool digits = !value.empty() && value.size() <= 5 &&
                            value.find_first_not_of("0123456789") == std::string::npos;
        if (!digits || std::stoul(value) > 65535) {
            return "a port is a number 0..65535, not " + value;
        }
        return {};
    },
    "PORT");

vq6120::sim::Simulator *running = nullptr;
vq6120::sim::Farm *running_farm = nullptr;

void on_stop() {
    if (running != nullptr) {
        running->stop();
    }
    if (running_farm != nullptr) {
        running_farm->stop();
    }
}

std::vector<std::string> read_lines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// The single terminal's script is checked whole before anything runs.
bool check_script(const std::vector<std::string> &lines, const std::string &path) {
    for (std::size_t i = 0; i < lines.size(); ++i) {
        vq6120::sim::ScriptCommand c;
        std::string error;
        if (!vq6120::sim::parse_command(lines[i], c, error)) {
            std::cerr << path << ":" << i + 1 << ": error: " << error << ": " << lines[i] << "\n";
            return false;
        }
    }
    return true;
}

// The live view when --http asks for one; false (said on stderr) when it
// cannot listen.
template <class Loop>
bool live_view(const std::string &http, Loop &loop, std::shared_ptr<void> &live) {
    std::string error;
    if (vq6120::sim::start_live(http, loop, live, std::cout, error)) {
        return true;
    }
    std::cerr << "vq6120-sim: " << error << "\n";
    return false;
}

// Opens the terminal or the farm, prints its first line (where it listens),
// starts the live view if asked and serves until stopped.
template <class Loop, class FirstLine>
int serve(Loop &loop, Loop *&running_as, const std::string &http, FirstLine first_line) {
    std::string error;
    if (!loop.open(error)) {
        std::cerr << "vq6120-sim: " << error << "\n";
        return kExitCannotServe;
    }
    std::cout << first_line() << std::endl;
    std::shared_ptr<void> live;
    if (!live_view(http, loop, live)) {
        return kExitCannotServe;
    }
    running_as = &loop;
    vq6120::sim::os::on_stop_request(on_stop);
    const int status = loop.run();
    running_as = nullptr;
    return status == 0 ? kExitOk : kExitCannotServe;
}

int run_farm(vq6120::sim::FarmOptions options, const std::string &script, const std::string &http) {
    vq6120::sim::Farm farm(std::move(options), std::cout, std::cerr);
    std::string error;
    if (!script.empty() && !farm.add_commands(read_lines(script), script, error)) {
        std::cerr << error << "\n";
        return kExitUsage;
    }
    return serve(farm, running_farm, http, [&] { return farm.ports_line(); });
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Virtual VQ6120 terminal: serves one host at a time over TCP and shows what it was sent.\n"
                 "With --terminals N, a farm of N independent terminals on ports P..P+N-1.\n"
                 "Listen on loopback (the default) unless other machines must reach it: anyone who\n"
                 "reaches the port can drive the terminal.\n"};
    app.footer("Operator commands: type help (or see docs/simulator.md).\n"
               "Exit status:\n"
               "  0  stopped by quit or a signal (also --help, --version)\n"
               "  1  cannot serve: cannot listen (the address, a port in use), too few descriptors\n"
               "  2  usage: a bad option or value, a script that does not parse");
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return std::string("vq6120-sim: ") + e.what() + "\nRun with --help for the options.\n";
    });
    app.set_version_flag("--version", std::string("vq6120-sim ") + VQ6120_TOOLS_VERSION);
    vq6120::sim::Options options;
    std::string script;
    bool no_stdin = false;
    std::size_t terminals = 0;
    app.add_option("--address", options.address, "IPv4 address to listen on")->capture_default_str();
    app.add_option("--port", options.port, "TCP port to listen on (with --terminals the first of N); 0 picks free ones")
        ->capture_default_str()
        ->check(kPortNumber);
    app.add_option("--terminals", terminals, "serve a farm of N terminals, one port each")
        ->check(CLI::Range(1, 65535));
    app.add_option("--script", script, "file of operator commands, run first")->check(CLI::ExistingFile);
    app.add_flag("--verbose,-v", options.verbose, "log every frame received and sent, decoded, on stderr");
    app.add_option("--snapshot-on-exit", options.snapshot_on_exit,
                   "write a picture of the terminal when stopping (.png, or .txt for the text dump)");
    app.add_flag("--no-stdin", no_stdin, "do not read operator commands from standard input (Windows never reads it: use --script)");
    std::string http;
    app.add_option("--http", http,
                   "serve the live view to a browser on ADDRESS:PORT (port 0 picks a free one), e.g. "
                   "127.0.0.1:8080; prints `http: URL`. Whoever reaches it can press keys: keep it on loopback");
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        app.exit(e);
        return kExitUsage;
    }
    if (terminals > 1 && options.port != 0 && options.port + terminals - 1 > 65535) {
        std::cerr << "vq6120-sim: --terminals " << terminals << " from --port " << options.port << " needs ports up to "
                  << options.port + terminals - 1 << "; the last is 65535 (or use --port 0 for free ones)\n";
        return kExitUsage;
    }
    if (!options.snapshot_on_exit.empty()) {
        if (terminals > 0) {
            std::cerr << "vq6120-sim: --snapshot-on-exit takes a single terminal; in a farm use on N snapshot FILE\n";
            return kExitUsage;
        }
        if (vq6120::sim::snapshot_kind(options.snapshot_on_exit) == vq6120::sim::SnapshotKind::Unknown) {
            std::cerr << "vq6120-sim: --snapshot-on-exit: " << vq6120::sim::kSnapshotKinds << "\n";
            return kExitUsage;
        }
    }
    if (!http.empty()) {
        if (std::string error; !vq6120::sim::check_live_address(http, error)) {
            std::cerr << "vq6120-sim: " << error << "\n";
            return kExitUsage;
        }
    }
    if (!no_stdin && vq6120::sim::os::watches_standard_input()) {
        options.input_fd = 0;
    }
    if (terminals > 0) {
        vq6120::sim::FarmOptions farm;
        farm.address = options.address;
        farm.port = options.port;
        farm.terminals = terminals;
        farm.verbose = options.verbose;
        farm.input_fd = options.input_fd;
        return run_farm(std::move(farm), script, http);
    }

    vq6120::sim::Simulator sim(options, std::cout, std::cerr);
    if (!script.empty()) {
        const auto lines = read_lines(script);
        if (!check_script(lines, script)) {
            return kExitUsage;
        }
        sim.add_commands(lines, script);
    }
    return serve(sim, running, http,
                 [&] { return "listening on " + options.address + ":" + std::to_string(sim.port()); });
}
