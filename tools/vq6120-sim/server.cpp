#include "server.hpp"

#include "host_reader.hpp"

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

#include "snapshot.hpp"

namespace vq6120::sim {
namespace {

constexpr std::size_t kMaxPendingOutput = std::size_t{16} << 20;

std::string hex_bytes(std::span<const std::uint8_t> p, std::size_t limit = 24) {
    std::string s;
    char buf[4];
    for (std::size_t i = 0; i < p.size() && i < limit; ++i) {
        std::snprintf(buf, sizeof buf, "%s%02X", i ? " " : "", p[i]);
        s += buf;
    }
    if (p.size() > limit) {
        s += " ...";
    }
    return s;
}

std::string printable(std::span<const std::uint8_t> p, std::size_t limit = 48) {
    std::string s = "\"";
    for (std::size_t i = 0; i < p.size() && i < limit; ++i) {
        s += (p[i] >= 0x20 && p[i] <= 0x7E) ? static_cast<char>(p[i]) : '.';
    }
    return s + (p.size() > limit ? "\"..." : "\"");
}

const char *command_name(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode) {
    if (channel == channel::kSerial1 || channel == channel::kSerial2) {
        return command == 0x00 ? "serial data" : command == 0x01 ? "serial configure" : "serial ?";
    }
    if (channel != channel::kTerminal) {
        return "?";
    }
    switch (command) {
    case 0x00: return "model name";
    case 0x09: return "write outputs";
    case 0x0A: return "input status";
    case 0x0B: return "beeper";
    case 0x0C: return "led";
    case 0x0D: return "backlight";
    case 0x11: return "auto report";
    case 0x12: return subcode == 1 ? "host alive signal" : "host alive check";
    case 0x30: return "clear keyboard display";
    case 0x37: return "key";
    case 0x40: return "clear graphic screen";
    case 0x43: return "pixel";
    case 0x47: return "line";
    case 0x48: return "rectangle";
    case 0x49: return "circle";
    case 0x4A: return "ellipse";
    case 0x4B: return "rhombus";
    case 0x4C: return "filled rectangle";
    case 0x4D: return "filled circle";
    case 0x4E: return "filled ellipse";
    case 0x50: return "graphic text";
    case 0x60: return "clear text screen";
    case 0x61: return "write text";
    case 0x62: return "write keyboard display";
    case 0x65: return "text cursor";
    case 0x67: return "scroll text screen";
    case 0x68: return "scroll keyboard display";
    default: return "?";
    }
}

// "<- line ch 0x40 cmd 0x47 sub 0 [00 00 ...] (0, 0, 239, 63)"
std::string describe(const char *arrow, std::uint8_t ch, std::uint8_t command, std::uint8_t subcode,
                     std::span<const std::uint8_t> p) {
    char head[128];
    std::snprintf(head, sizeof head, "%s %s: ch 0x%02X cmd 0x%02X sub %u len %zu", arrow,
                  command_name(ch, command, subcode), ch, command, subcode, p.size() + kHeaderSize);
    std::string s = head;
    if (p.empty()) {
        return s;
    }
    s += " [" + hex_bytes(p) + "]";
    const bool coordinates = ch == channel::kTerminal && ((command >= 0x43 && command <= 0x50) || command == 0x65);
    if (coordinates) {
        const std::size_t n = command == 0x50 ? std::min<std::size_t>(p.size(), 4) : p.size();
        s += " (";
        for (std::size_t i = 0; i + 1 < n; i += 2) {
            s += (i ? ", " : "") + std::to_string(static_cast<std::int16_t>(get_be16(p.data() + i)));
        }
        s += ")";
        if (command == 0x50 && p.size() > 4) {
            s += " " + printable(p.subspan(4));
        }
    } else if (command == 0x61 || command == 0x62 || command == 0x00 || ch != channel::kTerminal) {
        s += " " + printable(p);
    }
    return s;
}

}  // namespace

Simulator::Simulator(Options options, std::ostream &out, std::ostream &log)
    : options_(std::move(options)), out_(out), log_(log), input_fd_(options_.input_fd) {
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

void Simulator::add_commands(const std::vector<std::string> &lines) {
    std::lock_guard lock(mutex_);
    for (const auto &line : lines) {
        queue_line(line);
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

void Simulator::queue_line(const std::string &line) {
    Pending p{line, {}};
    std::string error;
    if (!parse_command(line, p.command, error)) {
        log_ << "script: " << error << ": " << line << "\n";
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
    if (options_.verbose) {
        log_ << describe("->", f.channel, f.command, f.subcode, f.payload) << "\n";
    }
    if (watcher_ != nullptr) {
        watcher_->frame(false, f, describe("->", f.channel, f.command, f.subcode, f.payload));
    }
    if (outbuf_.size() > kMaxPendingOutput) {
        // The host sends but does not read: rather than grow without end,
        // let it go.
        drop_host("not reading (" + std::to_string(outbuf_.size()) + " bytes waiting)");
        return;
    }
    const std::size_t at = outbuf_.size();
    outbuf_.resize(at + kHeaderSize + f.payload.size());
    encode_frame(std::span(outbuf_).subspan(at), f.channel, f.command, f.subcode, f.payload);
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
    if (connected_) {
        // One host at a time: a second one is closed at once.
        ++refused_;
        log_ << "refused " << who << ": a host is already connected\n";
        ::close(fd);
        return;
    }
    const int yes = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    host_ = fd;
    connected_ = true;
    in_.clear();
    outbuf_.clear();
    terminal_.host_connected(now);
    log_ << "host connected from " << who << "\n";
}

void Simulator::drop_host(const std::string &why) {
    if (host_ < 0) {
        return;
    }
    log_ << "host disconnected: " << why;
    if (!in_.empty()) {
        log_ << " (" << in_.size() << " bytes of an unfinished frame dropped)";
    }
    log_ << "\n";
    ::close(host_);
    host_ = -1;
    connected_ = false;
    in_.clear();
    outbuf_.clear();
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
    in_.insert(in_.end(), chunk, chunk + n);
    const HostRead read = read_host_frames(in_, [&](const FrameCut &cut) {
        const auto payload = cut.payload();
        if (options_.verbose) {
            log_ << describe("<-", cut.header.channel, cut.header.command, cut.header.subcode, payload) << "\n";
        }
        if (watcher_ != nullptr) {
            const auto &h = cut.header;
            watcher_->frame(true, OutFrame{h.channel, h.command, h.subcode, Bytes(payload.begin(), payload.end())},
                            describe("<-", h.channel, h.command, h.subcode, payload));
        }
        std::string problem;
        const auto replies = terminal_.handle(cut.header, payload, now, &problem);
        if (!problem.empty()) {
            log_ << "error: " << problem << "\n";
        }
        send_all(replies);
    });
    if (read.out_of_step) {
        // No way to find the next frame boundary in a stream that lied
        // about a length: the connection is dropped, the host reconnects.
        log_ << "error: frame length " << read.bad_length << " below 8, stream out of step\n";
        drop_host("stream out of step");
    }
}

void Simulator::write_host() {
    while (!outbuf_.empty()) {
        const ssize_t n = ::send(host_, outbuf_.data(), outbuf_.size(), MSG_NOSIGNAL);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                drop_host(std::string("write failed: ") + std::strerror(errno));
            }
            return;
        }
        outbuf_.erase(outbuf_.begin(), outbuf_.begin() + n);
    }
}

void Simulator::take_lines(std::string &buffer, bool flush) {
    std::size_t start = 0;
    for (std::size_t nl; (nl = buffer.find('\n', start)) != std::string::npos; start = nl + 1) {
        queue_line(buffer.substr(start, nl - start));
    }
    buffer.erase(0, start);
    if (flush && !buffer.empty()) {
        queue_line(buffer);
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
        case Kind::Key:
            log_ << "key " << static_cast<int>(c.key) << "\n";
            send(terminal_.key_frame(c.key));
            break;
        case Kind::DigitalInputs:
            terminal_.digital_in = {c.input1, c.input2};
            log_ << "digital inputs " << c.input1 << " " << c.input2 << "\n";
            break;
        case Kind::Serial:
            log_ << "serial " << c.port << " receives " << c.data.size() << " bytes\n";
            if (connected_) {
                send_all(terminal_.serial_frames(c.port, c.data));
            } else {
                log_ << "no host connected: serial data dropped\n";
            }
            break;
        case Kind::Snapshot: {
            std::string error;
            if (write_png(terminal_, connected_, c.path, error)) {
                log_ << "snapshot written to " << c.path << "\n";
            } else {
                log_ << "error: snapshot " << c.path << ": " << error << "\n";
            }
            break;
        }
        case Kind::Dump:
            out_ << text_dump(terminal_, connected_) << std::flush;
            break;
        case Kind::Quit:
            quit_ = true;
            break;
        case Kind::Nothing:
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
            fds[count++] = {host_, static_cast<short>(POLLIN | (outbuf_.empty() ? 0 : POLLOUT)), 0};
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
                queue_line(line);
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
        if (write_png(terminal_, false, options_.snapshot_on_exit, error)) {
            log_ << "snapshot written to " << options_.snapshot_on_exit << "\n";
        } else {
            log_ << "error: snapshot " << options_.snapshot_on_exit << ": " << error << "\n";
        }
    }
}

}  // namespace vq6120::sim
