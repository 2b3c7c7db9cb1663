// The farm's life: opening every listener, the thread-safe calls, and the
// loop that serves them all.
#include "farm/farm.hpp"

#include <algorithm>

#include "farm/slot.hpp"

namespace vq6120::sim {

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
