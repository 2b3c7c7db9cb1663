#include "server.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "frame_log.hpp"
#include "session.hpp"
#include "snapshot.hpp"

namespace vq6120::sim {

Simulator::Simulator(Options options, std::ostream &out, std::ostream &log)
    : options_(std::move(options)), out_(out), log_(log), input_fd_(options_.input_fd) {
    link_.verbose = options_.verbose;
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
        wake_read_ = fds[0];
        wake_write_ = fds[1];
    }
}

Simulator::~Simulator() {
    for (const int fd : {host_, listener_, wake_read_, wake_write_}) {
        if (fd >= 0) {
            ::close(fd);
        }
    }
}

bool Simulator::open(std::string &error) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(options_.port);
    if (::inet_pton(AF_INET, options_.address.c_str(), &addr.sin_addr) != 1) {
        error = "not an IPv4 address: " + options_.address;
        return false;
    }
    if (wake_read_ < 0) {
        error = "cannot make the wake-up pipe";
        return false;
    }
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const int yes = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 4) != 0) {
        error = "cannot listen on " + options_.address + ":" + std::to_string(options_.port) + ": " +
                std::strerror(errno);
        return false;
    }
    socklen_t len = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr *>(&addr), &len);
    port_ = ntohs(addr.sin_port);
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
    const char c = 's';
    [[maybe_unused]] const auto n = ::write(wake_write_, &c, 1);
}

void Simulator::post(const std::string &line) {
    {
        std::lock_guard lock(mutex_);
        posted_.push_back(line);
    }
    const char c = 'p';
    [[maybe_unused]] const auto n = ::write(wake_write_, &c, 1);
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
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(listener_, reinterpret_cast<sockaddr *>(&peer), &len, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return;
    }
    char name[INET_ADDRSTRLEN] = "?";
    ::inet_ntop(AF_INET, &peer.sin_addr, name, sizeof name);
    const std::string who = std::string(name) + ":" + std::to_string(ntohs(peer.sin_port));
    // A host that left just before this one came may still have its last
    // frames and its close unread (one read per turn): take them first.
    for (int turns = 0; connected_ && turns < 64; ++turns) {
        pollfd host{host_, POLLIN, 0};
        if (::poll(&host, 1, 0) <= 0) break;
        read_host(now);
    }
    if (connected_) {
        // One host at a time: a second one is closed at once.
        ++refused_;
        log_ << "refused " << who << ": the terminal is held by " << holder_ << "\n";
        ::close(fd);
        return;
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    host_ = fd;
    connected_ = true;
    holder_ = who;
    link_.clear();
    terminal_.host_connected(now);
    log_ << "host connected from " << who << "\n";
}

void Simulator::drop_host(const std::string &why) {
    if (host_ < 0) {
        return;
    }
    log_ << "host disconnected: " << why;
    if (!link_.in.empty()) {
        log_ << " (" << link_.in.size() << " bytes of an unfinished frame dropped)";
    }
    log_ << "\n";
    ::close(host_);
    host_ = -1;
    connected_ = false;
    link_.clear();
    terminal_.host_disconnected();
}

void Simulator::read_host(Clock::time_point now) {
    std::uint8_t chunk[65536];
    const ssize_t n = ::recv(host_, chunk, sizeof chunk, 0);
    if (n == 0) {
        drop_host("closed by the host");
        return;
    }
    if (n < 0) {
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            drop_host(std::string("read failed: ") + std::strerror(errno));
        }
        return;
    }
    if (!link_.receive(std::span<const std::uint8_t>(chunk, static_cast<std::size_t>(n)), terminal_, now, log_)) {
        drop_host(link_.out.size() > kMaxPendingOutput ? "not reading" : "stream out of step");
    }
}

void Simulator::write_host() {
    auto &outbuf = link_.out;
    while (!outbuf.empty()) {
        const ssize_t n = ::send(host_, outbuf.data(), outbuf.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop_host(std::string("write failed: ") + std::strerror(errno));
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
    // Called only when poll() saw input, so this read does not block; the
    // descriptor is left blocking since it may be a terminal shared with a shell.
    char chunk[4096];
    const ssize_t n = ::read(input_fd_, chunk, sizeof chunk);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (n <= 0) {
        take_lines(input_line_, true);
        input_fd_ = -1;  // end of input: keep serving
        return;
    }
    input_line_.append(chunk, static_cast<std::size_t>(n));
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
    if (listener_ < 0) {
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
        pollfd fds[4];
        nfds_t count = 0;
        fds[count++] = {wake_read_, POLLIN, 0};
        fds[count++] = {listener_, POLLIN, 0};
        const nfds_t host_at = count;
        if (host_ >= 0) {
            fds[count++] = {host_, static_cast<short>(POLLIN | (link_.out.empty() ? 0 : POLLOUT)), 0};
        }
        const nfds_t input_at = count;
        if (input_fd_ >= 0) {
            fds[count++] = {input_fd_, POLLIN, 0};
        }
        if (::poll(fds, count, timeout) < 0 && errno != EINTR) {
            log_ << "error: poll failed: " << std::strerror(errno) << "\n";
            return 1;
        }

        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        if (fds[0].revents & POLLIN) {
            char drain[64];
            while (::read(wake_read_, drain, sizeof drain) > 0) {
            }
            for (const auto &line : posted_) {
                queue_line(line, "posted");
            }
            posted_.clear();
        }
        // Operator commands posted before a host's frame arrived act first.
        run_commands(now);
        // The current host's traffic (its close too) is read before a new
        // connection is looked at, so a host that left just before the next
        // one came is not mistaken for one still connected.
        if (host_at < count && fds[host_at].fd == host_ && host_ >= 0) {
            if (fds[host_at].revents & (POLLIN | POLLHUP | POLLERR)) {
                read_host(now);
            }
        }
        if (fds[1].revents & POLLIN) {
            accept_host(now);
        }
        if (input_at < count && input_fd_ >= 0 && fds[input_at].fd == input_fd_ && fds[input_at].revents) {
            read_input();
        }
        std::string note;
        send_all(terminal_.on_time(now, &note));
        if (!note.empty()) {
            log_ << note << "\n";
        }
        run_commands(now);
        if (host_ >= 0) {
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
    if (host_ >= 0) {
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
