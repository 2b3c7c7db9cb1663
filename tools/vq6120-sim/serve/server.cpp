#include "serve/server.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "session/frame_log.hpp"
#include "session/session.hpp"
#include "model/snapshot.hpp"

namespace vq6120::sim {

Simulator::Simulator(Options options, std::ostream &out, std::ostream &log)
    : options_(std::move(options)), out_(out), log_(log), input_fd_(options_.input_fd) {
    link_.verbose = options_.verbose;
}

Simulator::~Simulator() {
    os::close(host_);
    os::close(listener_);
}

bool Simulator::open(std::string &error) {
    if (!loop_.ok()) {
        error = "cannot make the readiness loop";
        return false;
    }
    listener_ = os::listen_on(options_.address, options_.port, 4, port_, error);
    if (listener_ == os::kNoSocket || !loop_.watch(listener_, kListenerTag, true, false)) {
        error = error.empty() ? "cannot watch the listener" : error;
        return false;
    }
    // Input a loop cannot wait on (a regular file) is all there: read it now.
    if (input_fd_ >= 0 && !loop_.watch_input(input_fd_, kInputTag)) {
        std::lock_guard lock(mutex_);
        while (input_fd_ >= 0) {
            read_input();
        }
    }
    return true;
}

void Simulator::add_commands(const std::vector<std::string> &lines, const std::string &source) {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < lines.size(); ++i) {
        queue_line(lines[i], source + ":" + std::to_string(i + 1));
    }
}

void Simulator::stop() noexcept {
    stop_.store(true);
    loop_.wake();
}

void Simulator::post(const std::string &line) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(line);
    }
    loop_.wake();
}

Terminal Simulator::terminal() const {
    std::lock_guard lock(mutex_);
    return terminal_;
}

bool Simulator::host_connected() const {
    std::lock_guard lock(mutex_);
    return connected_;
}

std::uint64_t Simulator::connections_refused() const {
    std::lock_guard lock(mutex_);
    return refused_;
}

void Simulator::queue_line(const std::string &line, const std::string &where) {
    Pending p{line, {}};
    std::string error;
    if (!parse_command(line, p.command, error)) {
        log_ << where << ": error: " << error << ": " << line << "\n";
        return;
    }
    if (p.command.kind != ScriptCommand::Kind::Nothing) {
        commands_.push_back(std::move(p));
    }
}

void Simulator::send(const OutFrame &f) {
    if (!connected_) {
        log_ << "no host connected: " << command_name(f.channel, f.command, f.subcode) << " frame dropped\n";
        return;
    }
    if (!link_.queue(f, log_)) {
        drop_host("not reading (" + std::to_string(link_.out.size()) + " bytes waiting)");
    }
}

void Simulator::send_all(const std::vector<OutFrame> &frames) {
    for (const auto &f : frames) {
        send(f);
    }
}

void Simulator::accept_host(Clock::time_point now) {
    std::string who;
    const os::Socket fd = os::accept_from(listener_, who);
    if (fd == os::kNoSocket) {
        return;
    }
    // A host that left just before this one came may still have its last
    // frames and its close unread (one read per turn): take them first.
    for (int turns = 0; connected_ && turns < 64 && read_host(now); ++turns) {
    }
    if (connected_) {
        // One host at a time: a second one is closed at once.
        ++refused_;
        log_ << "refused " << who << ": the terminal is held by " << holder_ << "\n";
        os::close(fd);
        return;
    }
    host_ = fd;
    connected_ = true;
    holder_ = who;
    link_.clear();
    terminal_.host_connected(now);
    log_ << "host connected from " << who << "\n";
}

void Simulator::drop_host(const std::string &why) {
    if (host_ == os::kNoSocket) {
        return;
    }
    log_ << "host disconnected: " << why;
    if (!link_.in.empty()) {
        log_ << " (" << link_.in.size() << " bytes of an unfinished frame dropped)";
    }
    log_ << "\n";
    loop_.forget(host_);
    os::close(host_);
    host_ = os::kNoSocket;
    connected_ = false;
    link_.clear();
    terminal_.host_disconnected();
}

bool Simulator::read_host(Clock::time_point now) {
    std::array<std::uint8_t, 65536> chunk;
    std::string error;
    const long n = os::receive(host_, chunk, error);
    if (n == os::kWouldBlock) {
        return false;
    }
    if (n <= 0) {
        drop_host(n == 0 ? "closed by the host" : "read failed: " + error);
        return false;
    }
    if (!link_.receive(std::span<const std::uint8_t>(chunk.data(), static_cast<std::size_t>(n)), terminal_, now,
                       log_)) {
        drop_host(link_.out.size() > kMaxPendingOutput ? "not reading" : "stream out of step");
    }
    return true;
}

void Simulator::write_host() {
    auto &outbuf = link_.out;
    while (!outbuf.empty()) {
        std::string error;
        const long n = os::send(host_, outbuf, error);
        if (n <= 0) {
            if (n == os::kFailed) {
                drop_host("write failed: " + error);
            }
            return;
        }
        outbuf.erase(outbuf.begin(), outbuf.begin() + n);
    }
}

void Simulator::take_lines(std::string &buffer, bool flush) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
        queue_line(buffer.substr(start, nl - start), "stdin:" + std::to_string(++input_lines_));
    }
    buffer.erase(0, start);
    if (flush && !buffer.empty()) {
        queue_line(buffer, "stdin:" + std::to_string(++input_lines_));
        buffer.clear();
    }
}

void Simulator::read_input() {
    // Called only when the loop saw input (or for a file), so this read does
    // not block; the descriptor is left blocking since it may be a terminal
    // shared with a shell.
    std::array<std::uint8_t, 4096> chunk;
    std::string error;
    const long n = os::read_input(input_fd_, chunk, error);
    if (n == os::kWouldBlock) {
        return;
    }
    if (n <= 0) {
        take_lines(input_line_, true);
        loop_.forget(input_fd_);
        input_fd_ = -1;  // end of input: keep serving
        return;
    }
    input_line_.append(reinterpret_cast<const char *>(chunk.data()), static_cast<std::size_t>(n));
    take_lines(input_line_, false);
}

void Simulator::run_commands(Clock::time_point now) {
    using Kind = ScriptCommand::Kind;
    while (!commands_.empty() && !quit_) {
        auto &p = commands_.front();
        auto &c = p.command;
        switch (c.kind) {
        case Kind::Wait:
            if (!wait_until_) {
                wait_until_ = now + c.duration;
            }
            if (now < *wait_until_) {
                return;
            }
            wait_until_.reset();
            break;
        case Kind::WaitConnect:
            if (!connected_) {
                return;
            }
            break;
        case Kind::WaitDisconnect:
            if (connected_) {
                return;
            }
            break;
        case Kind::Help:
            out_ << kScriptHelp << std::flush;
            break;
        default:
            send_all(operate(c, terminal_, connected_, out_, log_, ""));
            break;
        case Kind::Quit:
            quit_ = true;
            break;
        }
        commands_.pop_front();
    }
}

int Simulator::run() {
    if (listener_ == os::kNoSocket) {
        return 1;
    }
    while (!quit_ && !stop_.load()) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            // The commands run from the start, not only once something wakes
            // the loop: a script of `wait 100ms` and `quit` ends by itself.
            run_commands(Clock::now());
            if (quit_) {
                break;
            }
            std::optional<Clock::time_point> next = terminal_.next_deadline();
            if (wait_until_) {
                next = next ? std::min(*next, *wait_until_) : *wait_until_;
            }
            if (next) {
                const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now()).count();
                timeout = static_cast<int>(std::clamp<long long>(ms, 0, 60'000));
            }
        }
        if (host_ != os::kNoSocket) {
            loop_.watch(host_, kHostTag, true, !link_.out.empty());
        }
        const auto events = loop_.wait(timeout);

        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        bool host_ready = false, listener_ready = false, input_ready = false;
        for (const auto &e : events) {
            host_ready |= e.tag == kHostTag && (e.readable || e.hangup);
            listener_ready |= e.tag == kListenerTag;
            input_ready |= e.tag == kInputTag;
            if (e.tag == os::Loop::kWakeTag) {
                for (const auto &line : posted_) {
                    queue_line(line, "posted");
                }
                posted_.clear();
            }
        }
        // Operator commands posted before a host's frame arrived act first.
        run_commands(now);
        // The current host's traffic (its close too) is read before a new
        // connection is looked at, so a host that left just before the next
        // one came is not mistaken for one still connected.
        if (host_ready && host_ != os::kNoSocket) {
            read_host(now);
        }
        if (listener_ready) {
            accept_host(now);
        }
        if (input_ready && input_fd_ >= 0) {
            read_input();
        }
        std::string note;
        send_all(terminal_.on_time(now, &note));
        if (!note.empty()) {
            log_ << note << "\n";
        }
        run_commands(now);
        if (host_ != os::kNoSocket) {
            write_host();
        }
        if (watcher_ != nullptr) {
            watcher_->turned();
        }
    }
    finish();
    return 0;
}

void Simulator::finish() {
    std::lock_guard lock(mutex_);
    if (host_ != os::kNoSocket) {
        write_host();
        drop_host("simulator stopping");
    }
    if (!options_.snapshot_on_exit.empty()) {
        std::string error;
        if (write_snapshot(terminal_, false, options_.snapshot_on_exit, error)) {
            log_ << "snapshot written to " << options_.snapshot_on_exit << "\n";
        } else {
            log_ << "error: snapshot " << options_.snapshot_on_exit << ": " << error << "\n";
        }
    }
}

}  // namespace vq6120::sim
