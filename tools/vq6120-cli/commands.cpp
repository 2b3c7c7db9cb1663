#include "commands.hpp"

#include "target.hpp"

namespace vq6120::cli {
namespace {

std::string describe(const ops::Argument &arg) {
    std::string text = std::string(arg.help) + " (" + ops::range_text(arg);
    if (arg.default_value) text += ", default " + std::to_string(*arg.default_value);
    return text + ")";
}

// Subcommands that take the terminal after their name as well.
bool takes_host(const CLI::App *sub) {
    for (const CLI::Option *o : sub->get_options()) {
        if (o->get_name() == "host") return true;
    }
    return false;
}

}  // namespace

CLI::Validator within(std::int64_t min, std::int64_t max) {
    const ops::Argument range{.name = "", .min = min, .max = max};
    return CLI::Validator(
        [range](std::string &word) {
            ops::Value value;
            std::string problem = ops::parse_word(range, word, value);
            return problem.empty() ? ops::check_value(range, value) : problem;
        },
        "");
}

TableCommands::TableCommands(CLI::App &app) {
    for (const ops::Operation &op : ops::operations()) {
        Entry &e =
            entries_.emplace_back(Entry{&op, app.add_subcommand(std::string(op.name), std::string(op.help)), {}});
        for (const ops::Argument &arg : op.arguments) {
            const std::string name(arg.name);
            const bool optional = arg.default_value.has_value();
            CLI::Option *o = e.app->add_option(optional ? "--" + name : name, e.words[name], describe(arg));
            o->type_name(arg.kind == ops::Kind::Int ? "INT" : arg.kind == ops::Kind::Text ? "TEXT" : "BYTES");
            o->check(CLI::Validator(
                [&arg](std::string &word) {
                    ops::Value value;
                    std::string problem = ops::parse_word(arg, word, value);
                    return problem.empty() ? ops::check_value(arg, value) : problem;
                },
                ""));
            if (!optional) o->required();
        }
        e.app->add_option("--wait", wait_seconds_,
                          op.answer != 0 ? "seconds to wait for the answer (1..60, default 2)"
                                         : "seconds to wait for the terminal to confirm the command (1..60, default 2)")
            ->check(within(1, 60));
    }
}

const ops::Operation *TableCommands::chosen(ops::Arguments &args) const {
    for (const Entry &e : entries_) {
        if (!e.app->parsed()) continue;
        args.clear();
        for (const ops::Argument &arg : e.op->arguments) {
            const std::string &word = e.words.at(std::string(arg.name));
            const std::string name(arg.name);
            if (e.app->get_option(arg.default_value ? "--" + name : name)->count() == 0) continue;
            ops::Value value;
            ops::parse_word(arg, word, value);  // checked while parsing
            args.emplace(name, std::move(value));
        }
        return e.op;
    }
    return nullptr;
}

std::string Formatter::make_usage(const CLI::App *app, std::string name) const {
    const CLI::App *parent = app->get_parent();
    if (parent == nullptr) {
        return "Usage: " + app->get_name() + " [OPTIONS] HOST[:PORT] OPERATION [ARGUMENTS]\n" + "       " +
               app->get_name() + " OPERATION --help\n";
    }
    std::string usage = CLI::Formatter::make_usage(app, name);
    // The operation's name ends the prefix the base class wrote; the terminal
    // goes in front of it.
    if (!takes_host(app)) {
        const std::string sub = " " + app->get_name();
        if (const auto at = usage.find(sub); at != std::string::npos) usage.insert(at, " HOST[:PORT]");
    }
    return usage;
}

std::string help_hint(const CLI::App &app, const std::vector<std::string> &words, const std::string &message) {
    const std::string option = message.substr(0, message.find(':'));
    const bool main_option = option.starts_with("--") && app.get_option_no_throw(option) != nullptr;
    for (const std::string &w : main_option ? std::vector<std::string>{} : words) {
        if (w.starts_with('-')) continue;
        try {
            if (app.get_subcommand(w) != nullptr) return " (" + app.get_name() + " " + w + " --help lists its arguments)";
        } catch (const CLI::OptionNotFound &) {
        }
    }
    return " (" + app.get_name() + " --help lists the options and operations)";
}

std::string diagnose(const CLI::App &app, const std::vector<std::string> &words) {
    const std::string listed = " (" + app.get_name() + " --help lists the operations)";
    std::vector<std::string> positionals;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (words[i].starts_with('-') && words[i].size() > 1) {
            // A main option's value is not a positional.
            if (words[i] == "--connect-timeout") ++i;
            continue;
        }
        positionals.push_back(words[i]);
    }
    if (words.empty()) return "usage: " + app.get_name() + " HOST[:PORT] OPERATION [ARGUMENTS]" + listed;
    if (positionals.empty()) {
        for (const std::string &w : words) {
            if (w.starts_with('-') && app.get_option_no_throw(w.substr(0, w.find('='))) == nullptr) {
                return "unknown option '" + w + "'" + listed;
            }
        }
        return {};
    }
    const auto is_operation = [&app](const std::string &w) {
        try {
            return app.get_subcommand(w) != nullptr;
        } catch (const CLI::OptionNotFound &) {
            return false;
        }
    };
    const std::string &first = positionals[0];
    if (is_operation(first)) {
        if (takes_host(app.get_subcommand(first))) return {};
        for (std::size_t i = 1; i < positionals.size(); ++i) {
            if (looks_like_address(positionals[i])) {
                return "'" + positionals[i] + "' looks like the terminal: it goes before the operation, as in " +
                       app.get_name() + " " + positionals[i] + " " + first + " ...";
            }
        }
        return {};
    }
    if (positionals.size() == 1) return "no operation given after '" + first + "'" + listed;
    if (!is_operation(positionals[1])) return "unknown operation '" + positionals[1] + "'" + listed;
    return {};
}

}  // namespace vq6120::cli
