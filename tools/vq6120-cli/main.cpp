// vq6120: drive a terminal from the shell. One subcommand per terminal
// operation, made from the operation table the gateway shares, so names and
// ranges are the same everywhere; `probe` checks that a peer is a VQ6120
// terminal and `monitor` prints everything the terminal sends.
//
// Exit statuses: kExitText below.
#include <CLI/CLI.hpp>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "VQ6120_LIB.h"
#include "commands.hpp"
#include "platform.hpp"
#include "image_command.hpp"
#include "session.hpp"
#include "target.hpp"

using namespace vq6120::cli;

namespace {

const std::string kExitText = "Exit status: 0 done (a command confirmed by the terminal, a request answered);\n"
                              "2 a refused argument or terminal address; 3 cannot connect; 4 the connection\n"
                              "closed (also when the terminal is held by another host); 5 no answer in time;\n"
                              "130 interrupted (Ctrl-C).";

int refuse(const std::string &message) {
    std::fprintf(stderr, "vq6120: %s\n", message.c_str());
    return kExitRefused;
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Drive a VQ6120 terminal: send one command, probe it, or monitor what it sends.", "vq6120"};
    app.formatter(std::make_shared<Formatter>());
    app.require_subcommand(1);
    app.fallthrough();
    app.footer(kExitText);
    app.set_version_flag("--version", [] {
        char library[16];
        std::snprintf(library, sizeof library, "%.2f", GetDllVersion());
        return std::string("vq6120 ") + VQ6120_TOOLS_VERSION + " (library " + library + ")";
    });
    std::string target_spec;
    app.add_option("target", target_spec,
                   "HOST or HOST:PORT of the terminal, IPv4 (port " + std::to_string(kDefaultPort) + " when left out)")
        ->type_name("");
    double connect_timeout = 5;
    app.add_option("--connect-timeout", connect_timeout, "seconds to wait for the connection (0.1..600, default 5)")
        ->check(CLI::Validator(
            [](std::string &word) {
                double seconds = 0;
                if (!CLI::detail::lexical_cast(word, seconds) || !std::isfinite(seconds)) {
                    return "'" + word + "' is not a number of seconds (0.1..600)";
                }
                return seconds >= 0.1 && seconds <= 600 ? std::string{} : word + " is not in 0.1..600";
            },
            ""));

    TableCommands table(app);
    ImageCommand *image = ImageCommand::add(app);
    int probe_timeout = 2;
    int monitor_seconds = 0;
    int keep_alive = 0;
    std::string sub_target;
    auto *probe = app.add_subcommand("probe", "Check that HOST is a VQ6120 terminal");
    auto *monitor =
        app.add_subcommand("monitor", "Print every frame the terminal sends, with the time, until interrupted");
    for (CLI::App *sub : {probe, monitor}) {
        sub->add_option("host", sub_target, "HOST or HOST:PORT of the terminal (or give it before " + sub->get_name() +
                                                ")")
            ->type_name("HOST[:PORT]");
    }
    probe->add_option("--timeout", probe_timeout, "seconds to wait for the answer (0..255, default 2)")
        ->check(within(0, 255));
    monitor
        ->add_option("--seconds", monitor_seconds,
                     "stop after this many seconds (0..86400, default 0: until interrupted)")
        ->check(within(0, 86400));
    monitor
        ->add_option("--keep-alive", keep_alive,
                     "send the host-alive signal now and every this many seconds, for a terminal with an alive "
                     "check (1..3600; default: none)")
        ->check(within(1, 3600));

    const std::vector<std::string> words(argv + 1, argv + argc);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        if (e.get_exit_code() == 0) return app.exit(e);  // --help, --version
        const std::string sentence = diagnose(app, words);
        return refuse(sentence.empty() ? e.what() + help_hint(app, words, e.what()) : sentence);
    }
    os::exit_on_interrupt(kExitInterrupted);

    if (!sub_target.empty()) target_spec = sub_target;
    if (target_spec.empty()) {
        const std::string sentence = diagnose(app, words);
        return refuse(sentence.empty() ? "no terminal given (HOST or HOST:PORT before the operation)" : sentence);
    }
    std::string error;
    const auto target = resolve(target_spec, error);
    if (!target) return refuse(error);
    // A picture is read and checked before any connection is made.
    const bool showing_image = image != nullptr && image->parsed();
    if (showing_image) {
        if (const int status = image->prepare(); status != 0) return status;
    }
    const int timeout_ms = static_cast<int>(std::lround(connect_timeout * 1000));
    Session session(connect(*target, timeout_ms, error), target_spec);
    if (session.handle() == nullptr) {
        std::fprintf(stderr, "vq6120: cannot connect to %s: %s\n", target_spec.c_str(), error.c_str());
        return kExitConnect;
    }

    if (probe->parsed()) return session.probe(probe_timeout);
    if (monitor->parsed()) return session.monitor(monitor_seconds, keep_alive);
    if (showing_image) {
        // A send that fails is a closed connection: the confirmation says
        // how (held by another host, or lost).
        image->send(session.handle());
        const int status = session.confirm(image->wait_seconds());
        if (status == 0) std::printf("%s\n", image->summary().c_str());
        return status;
    }
    vq6120::ops::Arguments args;
    const vq6120::ops::Operation *op = table.chosen(args);
    if (op == nullptr) return kExitRefused;
    if (const auto r = vq6120::ops::invoke(*op, session.handle(), args); !r) {
        std::fprintf(stderr, "vq6120: %s\n", r.error.c_str());
        return r.status == vq6120::ops::Result::Status::NotSent ? kExitLost : kExitRefused;
    }
    if (op->answer != 0) return session.await(op->answer, table.wait_seconds());
    return session.confirm(table.wait_seconds());
}
