#include "farm.hpp"

#include <algorithm>
#include <array>

#include "snapshot.hpp"

namespace vq6120::sim {
namespace {

constexpr std::uint64_t kInputTag = os::Loop::kWakeTag - 1;
// Tags: terminal index times two, plus 0 for its listener, 1 for its host.
constexpr std::uint64_t listener_tag(std::size_t i) { return std::uint64_t{i} * 2; }
constexpr std::uint64_t host_tag(std::size_t i) { return std::uint64_t{i} * 2 + 1; }
// Traffic that fell behind catches up by at most this many frames at once,
// or 10 ms worth at high rates (the loop's timer counts in milliseconds).
constexpr double kTrafficBurst = 8;
// How long a restarted listener waits before trying its port again.
constexpr auto kReopenRetry = std::chrono::milliseconds(100);

void put_le64(std::uint8_t *p, std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        p[i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::uint64_t get_le64(const std::uint8_t *p) {
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) {
        v = (v << 8) | p[i];
    }
    return v;
}

}  // namespace

std::optional<TrafficStamp> read_traffic_stamp(std::span<const std::uint8_t> payload) {
    if (payload.size() != kTrafficPayloadSize) {
        return std::nullopt;
    }
    return TrafficStamp{get_le64(payload.data()), get_le64(payload.data() + 8)};
}

struct Farm::Slot {
    std::uint16_t port = 0;
    std::string who;  // "terminal 7: " in front of its log lines
    os::Socket listener = os::kNoSocket;
    os::Socket host = os::kNoSocket;
    std::string holder;  // the connected host's address
    HostLink link;
    Terminal terminal;
    bool frozen = false;
    bool silent = false;
    bool not_accepting = false;
    std::optional<Clock::time_point> reopen_at;  // restarted: listener closed until then
    // Our own connections that keep the accept queue full, and their
    // addresses, so they are recognised and let go once accepting again.
    std::vector<os::Socket> fillers;
    std::vector<std::string> filler_names;
    bool watch_read = false;
    bool watch_write = false;
    // Traffic: frames per second (0 off), serial port or 0 for keys.
    double rate = 0;
    int traffic_port = 1;
    Clock::time_point next_traffic{};
    std::uint64_t sequence = 0;
    std::optional<Clock::time_point> queued;  // earliest entry of ours in the deadline heap
    std::uint64_t connections = 0;
    std::uint64_t refused = 0;
    bool dirty = false;

    bool connected() const noexcept { return host != os::kNoSocket; }
};

Farm::Farm(FarmOptions options, std::ostream &out, std::ostream &log)
    : options_(std::move(options)), out_(out), log_(log) {
    for (std::size_t i = 0; i < options_.terminals; ++i) {
        auto s = std::make_unique<Slot>();
        s->who = "terminal " + std::to_string(i) + ": ";
        s->link.verbose = options_.verbose;
        s->link.who = s->who;  // a view: the slot stays where it is allocated
        slots_.push_back(std::move(s));
    }
}

Farm::~Farm() {
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        close_slot(i);
    }
}

void Farm::close_slot(std::size_t i) {
    Slot &s = *slots_[i];
    for (const auto f : s.fillers) {
        os::close(f);
    }
    s.fillers.clear();
    s.filler_names.clear();
    for (auto *fd : {&s.host, &s.listener}) {
        if (*fd != os::kNoSocket) {
            loop_.forget(*fd);
            os::close(*fd);
            *fd = os::kNoSocket;
        }
    }
}

bool Farm::open(std::string &error) {
    if (!loop_.ok()) {
        error = "cannot make the event loop";
        return false;
    }
    if (options_.terminals == 0 || (options_.port != 0 && options_.port + options_.terminals - 1 > 65535)) {
        error = "the terminals' ports must lie within 1..65535";
        return false;
    }
    // A listener and a host per terminal, room for refusals, and a filler
    // per terminal for noaccept; without the fillers' share it still runs.
    if (!os::raise_descriptor_limit(3 * options_.terminals + 64, error)) {
        std::string minimum;
        if (!os::raise_descriptor_limit(2 * options_.terminals + 64, minimum)) {
            error = minimum;
            return false;
        }
        log_ << "warning: " << error << "; noaccept on every terminal may run out of descriptors\n";
        error.clear();
    }
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        Slot &s = *slots_[i];
        const auto want = options_.port == 0 ? std::uint16_t{0} : static_cast<std::uint16_t>(options_.port + i);
        s.listener = os::listen_on(options_.address, want, options_.backlog, s.port, error);
        if (s.listener == os::kNoSocket || !loop_.watch(s.listener, listener_tag(i), true, false)) {
            error = s.who + (error.empty() ? "cannot watch the listener" : error);
            for (std::size_t j = 0; j <= i; ++j) {
                close_slot(j);
            }
            return false;
        }
    }
    if (options_.input_fd >= 0) {
        input_watched_ = loop_.watch_input(options_.input_fd, kInputTag);
    }
    return true;
}

std::string Farm::ports_line() const {
    std::string line = "ports:";
    bool consecutive = true;
    for (std::size_t i = 1; i < slots_.size(); ++i) {
        consecutive = consecutive && slots_[i]->port == slots_[i - 1]->port + 1;
    }
    if (consecutive && !slots_.empty()) {
        line += ' ';
        line += std::to_string(slots_.front()->port);
        if (slots_.size() > 1) {
            line += '-';
            line += std::to_string(slots_.back()->port);
        }
        return line;
    }
    for (const auto &s : slots_) {
        line += ' ';
        line += std::to_string(s->port);
    }
    return line;
}

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

void Farm::stop() noexcept {
    stop_.store(true);
    loop_.wake();
}

void Farm::post(const std::string &line) {
    {
        std::lock_guard lock(mutex_);
        posted_.emplace_back(line, 0);
    }
    loop_.wake();
}

bool Farm::command(const std::string &line, std::string *error) {
    FarmCommand parsed;
    std::string why;
    if (!parse_farm_command(line, parsed, why) || (parsed.target && *parsed.target >= slots_.size())) {
        if (error != nullptr) {
            *error = why.empty() ? "no such terminal" : why;
        }
        return false;
    }
    std::unique_lock lock(mutex_);
    const std::uint64_t id = next_id_++;
    posted_.emplace_back(line, id);
    loop_.wake();
    done_changed_.wait(lock, [&] { return done_id_ >= id || stopped_; });
    if (done_id_ < id && error != nullptr) {
        *error = "the farm stopped first";
    }
    return done_id_ >= id;
}

std::uint16_t Farm::port(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return slots_.at(i)->port;
}

FarmTerminalState Farm::state_locked(std::size_t i) const {
    const Slot &s = *slots_.at(i);
    FarmTerminalState st;
    st.port = s.port;
    st.host_connected = s.connected();
    st.host = s.connected() ? s.holder : std::string();
    st.frozen = s.frozen;
    st.silent = s.silent;
    st.not_accepting = s.not_accepting;
    st.down = s.reopen_at.has_value();
    st.connections = s.connections;
    st.refused = s.refused;
    st.traffic_sent = s.sequence;
    return st;
}

FarmTerminalState Farm::state(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return state_locked(i);
}

Terminal Farm::terminal(std::size_t i) const {
    std::lock_guard lock(mutex_);
    return slots_.at(i)->terminal;
}

// ---- connections ------------------------------------------------------------

void Farm::update_watch(std::size_t i) {
    Slot &s = *slots_[i];
    if (!s.connected()) {
        return;
    }
    const bool read = !s.frozen;
    const bool write = !s.link.out.empty();
    if (read != s.watch_read || write != s.watch_write) {
        loop_.watch(s.host, host_tag(i), read, write);
        s.watch_read = read;
        s.watch_write = write;
    }
}

void Farm::accept_hosts(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    for (;;) {
        std::string who;
        const os::Socket fd = os::accept_from(s.listener, who);
        if (fd == os::kNoSocket) {
            return;
        }
        const auto filler = std::find(s.filler_names.begin(), s.filler_names.end(), who);
        if (filler != s.filler_names.end()) {
            // One of ours that held the accept queue full.
            s.filler_names.erase(filler);
            os::close(fd);
            continue;
        }
        // A host that left just before this one came may have its last
        // frames and its close still unread: take them first, so a host
        // that reconnects at once is not refused by its own old connection.
        for (int turns = 0; s.connected() && !s.frozen && turns < 64 && read_host(i, now); ++turns) {
        }
        if (s.connected()) {
            // One host at a time: a second one is closed at once.
            ++s.refused;
            log_ << s.who << "refused " << who << ": the terminal is held by " << s.holder << "\n";
            os::close(fd);
            continue;
        }
        s.host = fd;
        s.holder = who;
        s.link.clear();
        s.watch_read = s.watch_write = false;
        ++s.connections;
        s.terminal.host_connected(now);
        s.next_traffic = traffic_start(i, now);
        update_watch(i);
        if (!s.watch_read) {
            loop_.watch(fd, host_tag(i), false, false);  // frozen: still told of a hang-up
        }
        log_ << s.who << "host connected from " << who << "\n";
        schedule(i);
    }
}

void Farm::drop_host(std::size_t i, const std::string &why) {
    Slot &s = *slots_[i];
    if (!s.connected()) {
        return;
    }
    log_ << s.who << "host disconnected: " << why;
    if (!s.link.in.empty()) {
        log_ << " (" << s.link.in.size() << " bytes of an unfinished frame dropped)";
    }
    log_ << "\n";
    loop_.forget(s.host);
    os::close(s.host);
    s.host = os::kNoSocket;
    s.holder.clear();
    s.link.clear();
    s.terminal.host_disconnected();
}

bool Farm::read_host(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    static thread_local std::array<std::uint8_t, 65536> chunk;
    std::string error;
    const long n = os::receive(s.host, chunk, error);
    if (n == 0) {
        drop_host(i, "closed by the host");
        return false;
    }
    if (n == os::kFailed) {
        drop_host(i, "read failed: " + error);
        return false;
    }
    if (n == os::kWouldBlock) {
        return false;
    }
    const std::size_t before = s.link.out.size();
    s.link.mute = s.silent;  // the log and the live view show no answers that never go out
    const bool keep = s.link.receive(std::span(chunk).first(static_cast<std::size_t>(n)), s.terminal, now, log_);
    if (s.silent) {
        s.link.out.resize(before);  // silent: nothing goes out, answers included
    }
    if (!keep) {
        drop_host(i, s.link.out.size() > kMaxPendingOutput ? "not reading" : "stream out of step");
        return false;
    }
    if (s.link.out.size() > before && !s.dirty) {
        s.dirty = true;
        dirty_.push_back(i);
    }
    schedule(i);  // a frame may have set a timer
    return true;
}

void Farm::write_host(std::size_t i) {
    Slot &s = *slots_[i];
    s.dirty = false;
    while (s.connected() && !s.link.out.empty()) {
        std::string error;
        const long n = os::send(s.host, s.link.out, error);
        if (n == os::kFailed) {
            drop_host(i, "write failed: " + error);
            return;
        }
        if (n == 0) {
            break;
        }
        s.link.out.erase(s.link.out.begin(), s.link.out.begin() + n);
    }
    update_watch(i);
}

void Farm::send(std::size_t i, const OutFrame &f) {
    Slot &s = *slots_[i];
    if (!s.connected() || s.silent) {
        return;
    }
    if (!s.link.queue(f, log_)) {
        drop_host(i, "not reading (" + std::to_string(s.link.out.size()) + " bytes waiting)");
        return;
    }
    if (!s.dirty) {
        s.dirty = true;
        dirty_.push_back(i);
    }
}

// ---- time -------------------------------------------------------------------

Clock::time_point Farm::traffic_start(std::size_t i, Clock::time_point now) const {
    // The terminals' frames are spread evenly over one period, not sent in
    // one burst from all of them at once.
    const double period = slots_[i]->rate > 0 ? 1.0 / slots_[i]->rate : 0.0;
    const double offset = period * static_cast<double>(i) / static_cast<double>(slots_.size());
    return now + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(offset));
}

void Farm::schedule(std::size_t i) {
    Slot &s = *slots_[i];
    std::optional<Clock::time_point> next = s.terminal.next_deadline();
    auto earlier = [&](Clock::time_point t) { next = next ? std::min(*next, t) : t; };
    if (s.connected() && s.rate > 0) {
        earlier(s.next_traffic);
    }
    if (s.reopen_at) {
        earlier(*s.reopen_at);
    }
    // Only an earlier deadline needs an entry of its own; a later one is
    // found when the earlier entry fires.
    if (next && (!s.queued || *next < *s.queued)) {
        s.queued = next;
        deadlines_.emplace(*next, i);
    }
}

void Farm::on_time(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    if (s.reopen_at && now >= *s.reopen_at) {
        s.reopen_at.reset();
        if (!reopen(i)) {
            s.reopen_at = now + kReopenRetry;
        }
    }
    std::string note;
    for (const auto &f : s.terminal.on_time(now, &note)) {
        send(i, f);
    }
    if (!note.empty()) {
        log_ << s.who << note << "\n";
    }
    if (s.connected() && s.rate > 0) {
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / s.rate));
        const double burst_limit = std::max(kTrafficBurst, s.rate / 100);
        for (double burst = 0; s.next_traffic <= now && burst < burst_limit && s.connected(); ++burst) {
            Bytes payload(kTrafficPayloadSize);
            put_le64(payload.data(), s.sequence++);
            put_le64(payload.data() + 8, os::monotonic_ns());
            if (s.traffic_port == 0) {
                send(i, s.terminal.key_frame(static_cast<std::uint8_t>(payload[0])));
            } else {
                for (const auto &f : s.terminal.serial_frames(s.traffic_port, payload)) {
                    send(i, f);
                }
            }
            s.next_traffic += period;
        }
        if (s.next_traffic <= now) {
            s.next_traffic = now + period;  // fell behind: no endless burst
        }
    }
}

// ---- faults -----------------------------------------------------------------

void Farm::stop_accepting(std::size_t i) {
    Slot &s = *slots_[i];
    if (s.not_accepting || s.listener == os::kNoSocket) {
        s.not_accepting = true;
        return;
    }
    s.not_accepting = true;
    loop_.watch(s.listener, listener_tag(i), false, false);
    // A backlog of 0 holds one connection; ours fills it, so the kernel
    // drops every further handshake and a host's connect hangs, as against
    // a terminal that has stopped answering.
    os::set_backlog(s.listener, 0);
    std::string local;
    const os::Socket filler = os::connect_to(options_.address == "0.0.0.0" ? "127.0.0.1" : options_.address, s.port,
                                             local);
    if (filler == os::kNoSocket) {
        log_ << s.who << "error: cannot fill the accept queue\n";
        return;
    }
    s.fillers.push_back(filler);
    s.filler_names.push_back(local);
    if (!os::connected_within(filler, 200)) {
        log_ << s.who << "accept queue already full\n";
    }
}

void Farm::start_accepting(std::size_t i) {
    Slot &s = *slots_[i];
    s.not_accepting = false;
    for (const auto f : s.fillers) {
        os::close(f);
    }
    s.fillers.clear();
    if (s.listener != os::kNoSocket) {
        os::set_backlog(s.listener, options_.backlog);
        loop_.watch(s.listener, listener_tag(i), true, false);
    }
}

bool Farm::reopen(std::size_t i) {
    Slot &s = *slots_[i];
    std::string error;
    std::uint16_t bound = 0;
    s.listener = os::listen_on(options_.address, s.port, options_.backlog, bound, error);
    if (s.listener == os::kNoSocket) {
        log_ << s.who << "error: " << error << "; trying again\n";
        return false;
    }
    loop_.watch(s.listener, listener_tag(i), true, false);
    log_ << s.who << "listening again on port " << s.port << "\n";
    if (s.not_accepting) {
        s.not_accepting = false;  // asked for while it was down
        stop_accepting(i);
    }
    return true;
}

void Farm::apply(std::size_t i, const FarmCommand &c, Clock::time_point now) {
    using K = FarmCommand::Kind;
    Slot &s = *slots_[i];
    switch (c.kind) {
    case K::Traffic:
        s.rate = c.rate;
        s.traffic_port = c.traffic_port;
        s.next_traffic = traffic_start(i, now);
        break;
    case K::Freeze:
    case K::Thaw:
        s.frozen = c.kind == K::Freeze;
        update_watch(i);
        break;
    case K::Silent:
    case K::Speak:
        s.silent = c.kind == K::Silent;
        if (s.silent) {
            s.link.out.clear();
            update_watch(i);
        }
        break;
    case K::NoAccept:
        stop_accepting(i);
        break;
    case K::Accept:
        start_accepting(i);
        break;
    case K::Drop:
        drop_host(i, "dropped by the operator");
        break;
    case K::Garbage:
        if (s.connected() && !s.silent) {
            // A frame on a channel no terminal uses, then a length field
            // below 8: a host cannot find its way back into the stream.
            static constexpr std::uint8_t kGarbage[] = {8, 0, 0x7F, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0x40, 0, 0, 0, 0, 0};
            s.link.out.insert(s.link.out.end(), std::begin(kGarbage), std::end(kGarbage));
            if (!s.dirty) {
                s.dirty = true;
                dirty_.push_back(i);
            }
            log_ << s.who << "garbage sent\n";
        }
        break;
    case K::Restart:
        drop_host(i, "terminal restarting");
        start_accepting(i);
        s.frozen = s.silent = false;
        if (s.listener != os::kNoSocket) {
            loop_.forget(s.listener);
            os::close(s.listener);
            s.listener = os::kNoSocket;
        }
        s.filler_names.clear();
        s.reopen_at = now + c.duration;
        if (c.duration.count() == 0 && reopen(i)) {
            s.reopen_at.reset();
        }
        break;
    case K::Status:
        out_ << status_line(i) << "\n";
        break;
    case K::Terminal:
        for (const auto &f : operate(c.command, s.terminal, s.connected(), out_, log_, s.who)) {
            send(i, f);
        }
        break;
    }
    schedule(i);
}

std::string Farm::status_line(std::size_t i) const {
    const FarmTerminalState st = state_locked(i);
    std::string line = "terminal " + std::to_string(i) + " port " + std::to_string(st.port) + " host " +
                       (st.host_connected ? st.host : std::string("none"));
    for (const auto &[on, word] : {std::pair{st.frozen, "frozen"}, std::pair{st.silent, "silent"},
                                   std::pair{st.not_accepting, "not-accepting"}, std::pair{st.down, "down"}}) {
        if (on) {
            line += std::string(" ") + word;
        }
    }
    return line + " connections " + std::to_string(st.connections) + " refused " + std::to_string(st.refused) +
           " traffic " + std::to_string(st.traffic_sent);
}

std::string Farm::summary() const {
    std::size_t connected = 0, frozen = 0, silent = 0, not_accepting = 0, down = 0;
    std::uint64_t traffic = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const FarmTerminalState st = state_locked(i);
        connected += st.host_connected;
        frozen += st.frozen;
        silent += st.silent;
        not_accepting += st.not_accepting;
        down += st.down;
        traffic += st.traffic_sent;
    }
    return "farm: " + std::to_string(slots_.size()) + " terminals, " + std::to_string(connected) + " connected, " +
           std::to_string(frozen) + " frozen, " + std::to_string(silent) + " silent, " +
           std::to_string(not_accepting) + " not accepting, " + std::to_string(down) + " down, traffic " +
           std::to_string(traffic) + " frames sent";
}

// ---- operator commands --------------------------------------------------------

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

// ---- the loop -----------------------------------------------------------------

void Farm::on_event(const os::Loop::Event &e, Clock::time_point now) {
    if (e.tag == os::Loop::kWakeTag) {
        for (const auto &[line, id] : posted_) {
            if (!queue_line(line, "posted", id, nullptr) && id != 0) {
                done_id_ = std::max(done_id_, id);
                done_changed_.notify_all();
            }
        }
        posted_.clear();
        run_commands(now);
        return;
    }
    if (e.tag == kInputTag) {
        if (options_.input_fd >= 0) {
            read_input();
        }
        return;
    }
    const std::size_t i = static_cast<std::size_t>(e.tag / 2);
    if (i >= slots_.size()) {
        return;
    }
    Slot &s = *slots_[i];
    if (e.tag % 2 == 0) {
        if (s.listener != os::kNoSocket && !s.not_accepting) {
            accept_hosts(i, now);
        }
        return;
    }
    if (!s.connected()) {
        return;
    }
    if (e.writable) {
        write_host(i);
    }
    if (s.connected() && (e.readable || e.hangup) && !s.frozen) {
        read_host(i, now);
    } else if (s.connected() && e.hangup && s.frozen) {
        drop_host(i, "connection lost");  // not read, but gone: do not spin on it
    }
}

void Farm::watch(Watcher *watcher) noexcept {
    watcher_ = watcher;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        slots_[i]->link.watcher = watcher;
        slots_[i]->link.index = i;
    }
}

int Farm::run() {
    if (slots_.empty() || slots_.front()->listener == os::kNoSocket) {
        return 1;
    }
    if (options_.input_fd >= 0 && !input_watched_) {
        // Not something a loop can wait on (a regular file): it is all there.
        std::lock_guard lock(mutex_);
        while (options_.input_fd >= 0) {
            read_input();
        }
    }
    while (!quit_ && !stop_.load()) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            const auto now = Clock::now();
            run_commands(now);
            if (quit_) {
                break;
            }
            std::optional<Clock::time_point> next = wait_until_;
            if (!deadlines_.empty()) {
                next = next ? std::min(*next, deadlines_.top().first) : deadlines_.top().first;
            }
            if (next) {
                const auto us = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
                timeout = static_cast<int>(std::clamp<long long>(us, 0, 60'000));
            }
        }
        const auto events = loop_.wait(timeout);

        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (const auto &e : events) {
            on_event(e, now);
        }
        while (!deadlines_.empty() && deadlines_.top().first <= now) {
            const auto [when, i] = deadlines_.top();
            deadlines_.pop();
            Slot &s = *slots_[i];
            if (!s.queued || *s.queued != when) {
                continue;  // an entry superseded by an earlier one
            }
            s.queued.reset();
            on_time(i, now);
            schedule(i);
        }
        run_commands(now);
        for (std::size_t k = 0; k < dirty_.size(); ++k) {
            write_host(dirty_[k]);
        }
        dirty_.clear();
        if (watcher_ != nullptr) {
            watcher_->turned();
        }
    }
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        write_host(i);
        drop_host(i, "simulator stopping");
    }
    stopped_ = true;
    done_changed_.notify_all();
    return 0;
}

}  // namespace vq6120::sim
