// vq6120-gateway: keeps the terminals of a configuration file connected and
// bridges them to an MQTT broker, all from one event loop.
//
//   vq6120-gateway CONFIG            run until SIGTERM or SIGINT; SIGHUP reloads CONFIG
//   vq6120-gateway --check CONFIG    validate the file; exit 0 or name the bad field
//
// Exit status: 0 stopped cleanly (or the file is valid), 2 the command line or
// the configuration is refused, 1 the gateway could not run.
#include <CLI/CLI.hpp>
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>

#include "backlog.hpp"
#include "config.hpp"
#include "gateway.hpp"
#include "log.hpp"
#include "metrics_server.hpp"

namespace {

int g_signal_pipe = -1;

extern "C" void on_signal(int number) {
    const char byte = static_cast<char>(number);
    // Nothing but the write here; the loop does the stopping.
    [[maybe_unused]] const auto n = ::write(g_signal_pipe, &byte, 1);
}

}  // namespace

int main(int argc, char **argv) {
    CLI::App app{"Bridge VQ6120 terminals to an MQTT broker.", "vq6120-gateway"};
    app.set_version_flag("--version", std::string("vq6120-gateway ") + VQ6120_TOOLS_VERSION);
    app.footer("Exit status: 0 stopped cleanly (or, with --check, the file is valid); 1 could not run;\n"
               "2 the command line or the configuration is refused (every mistake in the file is named).");
    std::string path;
    bool check_only = false, verbose = false;
    int flush_ms = 2000;
    app.add_option("config", path, "the JSON configuration file")->required();
    app.add_flag("--check", check_only, "validate the configuration and exit");
    app.add_flag("--verbose,-v", verbose, "log every command and broker event");
    std::string metrics_at;
    app.add_option("--metrics", metrics_at, "serve Prometheus metrics at http://ADDRESS:PORT/metrics (PORT alone: 127.0.0.1); "
                   "instead of the configuration's \"metrics\"")
        ->type_name("[ADDRESS:]PORT")
        ->check(CLI::Validator(
            [](std::string &s) {
                return vq6120::gateway::parse_listen(s) ? std::string{} : s + " is not PORT or ADDRESS:PORT (IPv4)";
            },
            ""));
    app.add_option("--flush-ms", flush_ms, "on stop, how long to wait for the last states to reach the broker")
        ->check(CLI::Range(0, 60000));
    app.failure_message([](const CLI::App *, const CLI::Error &e) {
        return std::string("vq6120-gateway: ") + e.what() + "\nRun with --help for the options.\n";
    });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : 2;  // --help is a success; a bad command line is refused
    }
    vq6120::gateway::set_verbose(verbose);

    const auto loaded = vq6120::gateway::load_config(path);
    if (!loaded.config) {
        for (const auto &error : loaded.errors) {
            std::fprintf(stderr, "vq6120-gateway: %s: %s\n", path.c_str(), error.describe().c_str());
        }
        return 2;
    }
    const vq6120::gateway::Config &config = *loaded.config;
    if (check_only) {
        // A store the gateway would refuse is named now; a missing one is
        // created at the start.
        if (config.store && std::filesystem::exists(config.store->path)) {
            try {
                vq6120::gateway::Store(*config.store, config.sparkplug.has_value());
            } catch (const std::exception &e) {
                std::fprintf(stderr, "vq6120-gateway: %s: /store/path: %s\n", path.c_str(), e.what());
                return 2;
            }
        }
        std::printf("%s: valid, %zu terminals, broker %s:%d\n", path.c_str(), config.terminals.size(),
                    config.broker.host.c_str(), config.broker.port);
        return 0;
    }

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::perror("vq6120-gateway: pipe");
        return 1;
    }
    g_signal_pipe = fds[1];
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    try {
        vq6120::Poller poller(vq6120::gateway::backoff_for(config));
        if (!poller.ok()) {
            std::fprintf(stderr, "vq6120-gateway: cannot create the event loop\n");
            return 1;
        }
        vq6120::gateway::Gateway gateway(config, poller);
        std::unique_ptr<vq6120::gateway::MetricsServer> metrics;
        if (metrics_at.empty()) metrics_at = config.metrics;
        if (!metrics_at.empty()) {
            const auto where = *vq6120::gateway::parse_listen(metrics_at);
            metrics = std::make_unique<vq6120::gateway::MetricsServer>(gateway.metrics(), where);
            vq6120::gateway::log(vq6120::gateway::Level::info, "metrics at http://" + where.address + ":" +
                                                                   std::to_string(metrics->port()) + "/metrics");
        }
        poller.watch(fds[0], true, false, [&](bool, bool) {
            char got[16];
            bool stop = false, reload = false;
            for (ssize_t n; (n = ::read(fds[0], got, sizeof got)) > 0;) {
                for (ssize_t i = 0; i < n; ++i) (got[i] == SIGHUP ? reload : stop) = true;
            }
            if (stop) {
                vq6120::gateway::log(vq6120::gateway::Level::info, "stopping on a signal");
                gateway.shutdown(flush_ms);
            } else if (reload) {
                vq6120::gateway::log(vq6120::gateway::Level::info, "reloading " + path + " on SIGHUP");
                gateway.reload(path);
            }
        });
        gateway.start();
        poller.run();
    } catch (const std::exception &e) {
        std::fprintf(stderr, "vq6120-gateway: %s\n", e.what());
        return 1;
    }
    return 0;
}
