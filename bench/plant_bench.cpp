// plant_bench: many terminals on one host. Each subcommand runs one
// measurement and its baseline in the same run and prints the figures with
// their ratios and targets; `events` also prints one machine-readable line
// ("result ...") that scripts/scaling-plot.sh collects. Nothing here asserts
// a timing.
#include <CLI/CLI.hpp>

#include <csignal>
#include <exception>
#include <iostream>

#include "plant.hpp"

int main(int argc, char **argv) {
    using namespace vq6120::bench;
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Plant-scale benchmarks: many terminals on one host thread, opening with silent terminals, "
                 "batched redraws."};
    app.require_subcommand(1);

    RedrawOptions redraw;
    CLI::App *redraw_cmd = app.add_subcommand("redraw", "a 200-command redraw, batched against one by one");
    redraw_cmd->add_option("--rounds", redraw.rounds, "redraws each way")->capture_default_str()->check(
        CLI::PositiveNumber);

    EventsOptions events;
    events.farm = VQ6120_SIM_PROGRAM;
    CLI::App *events_cmd =
        app.add_subcommand("events", "terminals sending stamped events, served by the Poller on one thread, "
                                     "against the spinning sweep");
    events_cmd->add_option("--farm", events.farm, "the vq6120-sim program")->capture_default_str();
    events_cmd->add_option("--terminals", events.terminals)->capture_default_str()->check(CLI::Range(1, 5000));
    events_cmd->add_option("--rate", events.rate, "events per second per terminal")->capture_default_str()->check(
        CLI::Range(1, 1000));
    events_cmd->add_option("--seconds", events.seconds, "measured time with traffic")->capture_default_str()->check(
        CLI::PositiveNumber);
    events_cmd->add_option("--idle-seconds", events.idle_seconds, "measured time with every terminal silent")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    events_cmd->add_flag("!--no-baseline", events.baseline, "skip the spinning sweep");

    OpenOptions open;
    open.farm = VQ6120_SIM_PROGRAM;
    CLI::App *open_cmd =
        app.add_subcommand("open", "opening terminals of which some never answer the TCP handshake");
    open_cmd->add_option("--farm", open.farm, "the vq6120-sim program")->capture_default_str();
    open_cmd->add_option("--terminals", open.terminals)->capture_default_str()->check(CLI::Range(2, 5000));
    open_cmd->add_option("--silent", open.silent, "of them, never answering")->capture_default_str()->check(
        CLI::NonNegativeNumber);
    open_cmd->add_option("--limit-ms", open.limit_ms, "connect time limit per terminal")->capture_default_str()
        ->check(CLI::Range(10, 60000));
    open_cmd->add_option("--baseline-count", open.baseline_count,
                         "terminals opened one by one with InitialVQ6120, the last one silent (0: skip; "
                         "the silent one blocks as long as the kernel retries, about two minutes)")
        ->capture_default_str()
        ->check(CLI::NonNegativeNumber);

    FreezeOptions freeze;
    freeze.farm = VQ6120_SIM_PROGRAM;
    CLI::App *freeze_cmd = app.add_subcommand(
        "freeze", "events, auto reports and a redraw a second to every terminal; one terminal stops reading for a "
                  "while, then the loop is held for 5 s; against the same run without the freeze");
    freeze_cmd->add_option("--farm", freeze.farm, "the vq6120-sim program")->capture_default_str();
    freeze_cmd->add_option("--terminals", freeze.terminals)->capture_default_str()->check(CLI::Range(2, 5000));
    freeze_cmd->add_option("--rate", freeze.rate, "events per second per terminal")->capture_default_str()->check(
        CLI::Range(1, 1000));
    freeze_cmd->add_option("--seconds", freeze.seconds, "calm time measured (the baseline)")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    freeze_cmd->add_option("--freeze", freeze.freeze_seconds, "time with terminal 0 frozen")
        ->capture_default_str()
        ->check(CLI::PositiveNumber);
    freeze_cmd->add_option("--frozen-redraws", freeze.frozen_redraws,
                           "redraws a second to terminal 0 (more reach its limit sooner)")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000));

    CLI11_PARSE(app, argc, argv);
    try {
        if (redraw_cmd->parsed()) {
            return run_redraw(redraw);
        }
        if (events_cmd->parsed()) {
            return run_events(events);
        }
        if (freeze_cmd->parsed()) {
            return run_freeze(freeze);
        }
        return run_open(open);
    } catch (const std::exception &e) {
        std::cerr << "plant_bench: " << e.what() << "\n";
        return 1;
    }
}
