// Operator commands: checked and queued, carried out in order (waits
// included), and read line by line from the input.
#include <array>

#include "farm/farm.hpp"
#include "farm/slot.hpp"

namespace vq6120::sim {

bool Farm::queue_line(const std::string &line, const std::string &where, std::uint64_t id, std::string *error) {
    Pending p{{}, id};
    std::string why;
    if (!parse_farm_command(line, p.command, why)) {
        const std::string message = where + ": error: " + why + ": " + line;
        if (error != nullptr) {
            *error = message;
        } else {
            log_ << message << "\n";
        }
        return false;
    }
    if (p.command.target && *p.command.target >= slots_.size()) {
        const std::string message = where + ": error: no terminal " + std::to_string(*p.command.target) +
                                    " (there are " + std::to_string(slots_.size()) + "): " + line;
        if (error != nullptr) {
            *error = message;
        } else {
            log_ << message << "\n";
        }
        return false;
    }
    const bool nothing = p.command.kind == FarmCommand::Kind::Terminal &&
                         p.command.command.kind == ScriptCommand::Kind::Nothing;
    if (!nothing) {
        commands_.push_back(std::move(p));
    }
    return true;
}

bool Farm::add_commands(const std::vector<std::string> &lines, const std::string &source, std::string &error) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (!queue_line(lines[i], source + ":" + std::to_string(i + 1), 0, &error)) {
            return false;
        }
    }
    return true;
}

bool Farm::run_one(const FarmCommand &c, Clock::time_point now) {
    using K = ScriptCommand::Kind;
    const std::size_t first = c.target.value_or(0);
    const std::size_t last = c.target ? first + 1 : slots_.size();
    auto all = [&](auto pred) {
        for (std::size_t i = first; i < last; ++i) {
            if (!pred(*slots_[i])) {
                return false;
            }
        }
        return true;
    };
    if (c.kind == FarmCommand::Kind::Status && !c.aimed) {
        out_ << summary() << std::endl;
        return true;
    }
    if (c.kind == FarmCommand::Kind::Terminal) {
        switch (c.command.kind) {
        case K::Wait:
            if (!wait_until_) {
                wait_until_ = now + c.command.duration;
            }
            if (now < *wait_until_) {
                return false;
            }
            wait_until_.reset();
            return true;
        case K::WaitConnect:
            return all([](const Slot &s) { return s.connected(); });
        case K::WaitDisconnect:
            return all([](const Slot &s) { return !s.connected(); });
        case K::Quit:
            quit_ = true;
            return true;
        case K::Help:
            out_ << kScriptHelp << kFarmHelp << std::flush;
            return true;
        case K::Snapshot:
            if (!c.target && slots_.size() > 1) {
                log_ << "error: snapshot needs one terminal: on N snapshot " << c.command.path << "\n";
                return true;
            }
            break;
        case K::Dump:
            for (std::size_t i = first; i < last && slots_.size() > 1; ++i) {
                out_ << "terminal " << i << " port " << slots_[i]->port << "\n";
                apply(i, c, now);
            }
            if (slots_.size() > 1) {
                return true;
            }
            break;
        default:
            break;
        }
    }
    for (std::size_t i = first; i < last; ++i) {
        apply(i, c, now);
    }
    if (c.kind == FarmCommand::Kind::Status) {
        out_ << std::flush;
    }
    return true;
}

void Farm::run_commands(Clock::time_point now) {
    while (!commands_.empty() && !quit_) {
        if (!run_one(commands_.front().command, now)) {
            return;
        }
        if (commands_.front().id != 0) {
            done_id_ = commands_.front().id;
            done_changed_.notify_all();
        }
        commands_.pop_front();
    }
}

void Farm::take_lines(bool flush) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = input_line_.find('\n', start)) != std::string::npos; start = nl + 1) {
        queue_line(input_line_.substr(start, nl - start), "stdin:" + std::to_string(++input_lines_), 0, nullptr);
    }
    input_line_.erase(0, start);
    if (flush && !input_line_.empty()) {
        queue_line(input_line_, "stdin:" + std::to_string(++input_lines_), 0, nullptr);
        input_line_.clear();
    }
}

void Farm::read_input() {
    std::array<std::uint8_t, 4096> chunk;
    std::string error;
    const long n = os::read_input(options_.input_fd, chunk, error);
    if (n == os::kWouldBlock) {
        return;
    }
    if (n <= 0) {
        take_lines(true);
        if (input_watched_) {
            loop_.forget(options_.input_fd);
        }
        input_watched_ = false;
        options_.input_fd = -1;  // end of input: keep serving
        return;
    }
    input_line_.append(reinterpret_cast<const char *>(chunk.data()), static_cast<std::size_t>(n));
    take_lines(false);
}

}  // namespace vq6120::sim
