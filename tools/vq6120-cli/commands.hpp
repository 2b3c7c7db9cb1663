// The command line around the operation table: one subcommand per operation,
// usage lines that show where the terminal goes, and plain sentences for the
// usual mistakes.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "operations.hpp"

namespace vq6120::cli {

// Adds a subcommand for every operation in the table: arguments without a
// default become positionals, those with one `--NAME` options. Each value is
// checked by the table as it is parsed, so a bad one is reported before any
// connection is made.
class TableCommands {
public:
    explicit TableCommands(CLI::App &app);
    // The operation whose subcommand was given, its arguments filled in;
    // nullptr when another subcommand was given.
    const ops::Operation *chosen(ops::Arguments &args) const;
    // Seconds to wait for the answer to a request (di, model).
    int wait_seconds() const { return wait_seconds_; }

private:
    struct Entry {
        const ops::Operation *op;
        CLI::App *app;
        std::map<std::string, std::string> words;
    };
    std::list<Entry> entries_;  // stable: CLI11 writes into `words`
    int wait_seconds_ = 2;
};

// "Usage: vq6120 HOST[:PORT] draw-pixel x y": the terminal in its place.
class Formatter : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App *app, std::string name) const override;
};

// Checks a whole number against min..max and words the problem as the
// operation table does ("0 is not in 1..60").
CLI::Validator within(std::int64_t min, std::int64_t max);

// Where to read more after the parse error `message`: the operation's
// --help when one was named and the error is not about the tool's own
// options, else the tool's.
std::string help_hint(const CLI::App &app, const std::vector<std::string> &words, const std::string &message);

// A sentence for a known mistake in the words after the program's name (the
// terminal after the operation, an unknown operation, no operation); empty
// when none is recognised.
std::string diagnose(const CLI::App &app, const std::vector<std::string> &words);

}  // namespace vq6120::cli
