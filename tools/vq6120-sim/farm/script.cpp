#include "farm/script.hpp"

#include <charconv>

namespace vq6120::sim {
namespace {

struct Word {
    std::string_view word;
    FarmCommand::Kind kind;
};

constexpr Word kFaults[] = {
    {"freeze", FarmCommand::Kind::Freeze}, {"thaw", FarmCommand::Kind::Thaw},
    {"noaccept", FarmCommand::Kind::NoAccept}, {"accept", FarmCommand::Kind::Accept},
    {"drop", FarmCommand::Kind::Drop}, {"garbage", FarmCommand::Kind::Garbage},
    {"silent", FarmCommand::Kind::Silent},
    {"speak", FarmCommand::Kind::Speak}, {"status", FarmCommand::Kind::Status},
};

bool parse_traffic(std::string_view rest, FarmCommand &out, std::string &error) {
    const auto rate = next_word(rest);
    double r = -1;
    const auto [end, ec] = std::from_chars(rate.data(), rate.data() + rate.size(), r);
    if (ec != std::errc{} || end != rate.data() + rate.size() || !(r >= 0 && r <= 100'000)) {
        error = "traffic takes a rate 0..100000 frames per second, then serial 1, serial 2 or keys";
        return false;
    }
    out.rate = r;
    const auto what = next_word(rest);
    long port = 1;
    if (what == "keys" && rest.empty()) {
        out.traffic_port = 0;
    } else if (what.empty() || (what == "serial" && (rest.empty() || (parse_number(next_word(rest), 2, port) &&
                                                                       port >= 1 && rest.empty())))) {
        out.traffic_port = static_cast<int>(port);
    } else {
        error = "traffic takes a rate, then serial 1, serial 2 or keys";
        return false;
    }
    out.kind = FarmCommand::Kind::Traffic;
    return true;
}

}  // namespace

bool parse_farm_command(std::string_view line, FarmCommand &out, std::string &error) {
    out = FarmCommand{};
    std::string_view rest = trim(line);
    std::string_view look = rest;
    if (next_word(look) == "on") {
        rest = look;
        const auto which = next_word(rest);
        long n = 0;
        if (which != "all") {
            if (!parse_number(which, 1'000'000, n)) {
                error = "on takes a terminal number (0 for the first port) or all";
                return false;
            }
            out.target = static_cast<std::size_t>(n);
        }
        out.aimed = true;
        if (rest.empty()) {
            error = "on N needs a command after it";
            return false;
        }
    }
    look = rest;
    auto word = next_word(look);
    if (word == "farm" && trim(look) == "status") {
        word = "status";
        look = {};
    }
    for (const auto &w : kFaults) {
        if (word == w.word) {
            if (!look.empty()) {
                error = std::string(word) + " takes no argument";
                return false;
            }
            out.kind = w.kind;
            return true;
        }
    }
    if (word == "traffic") {
        return parse_traffic(look, out, error);
    }
    if (word == "restart") {
        const auto time = next_word(look);
        if (!look.empty() || (!time.empty() && !parse_duration(time, out.duration))) {
            error = "restart takes at most a time such as 500ms or 2s";
            return false;
        }
        out.kind = FarmCommand::Kind::Restart;
        return true;
    }
    out.kind = FarmCommand::Kind::Terminal;
    return parse_command(rest, out.command, error);
}

}  // namespace vq6120::sim
