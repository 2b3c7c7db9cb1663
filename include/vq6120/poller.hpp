// vq6120/poller.hpp: many terminals served from one thread. Part of
// vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "VQ6120_LIB.h"
#include "vq6120/detail/reactor.hpp"
#include "vq6120/endpoint.hpp"
#include "vq6120/events.hpp"
#include "vq6120/poller/backoff.hpp"
#include "vq6120/poller/config.hpp"
#include "vq6120/poller/due_heap.hpp"
#include "vq6120/poller/liveness.hpp"
#include "vq6120/poller/posted.hpp"
#include "vq6120/poller/send_progress.hpp"
#include "vq6120/reasons.hpp"
#include "vq6120/terminal.hpp"

namespace vq6120 {

// Serves many terminals from the thread that calls run_once()/run().
//
// Each round waits (epoll / WSAPoll) until a socket is ready or the nearest
// deadline comes, then drains every ready terminal with GetDataFromEthernet
// (at most 64 results per terminal per round, so one chatty terminal cannot
// starve the others), then handles the deadlines that are due: connect
// limits, retry times, liveness bounds, host-alive signals and after()
// timers. Deadlines live in one min-heap with at most one live entry per
// terminal, so the cost per event is O(log n) in the number of terminals and
// nothing ever walks all of them.
//
// Sends never block the loop: every terminal is in the C library's queued
// send mode (VQ6120Ex_SetSendQueue). A command returns at once; its frame
// goes to the socket as far as it takes it, the rest waits in the terminal's
// queue, and a command that would let the bytes waiting for the terminal (the
// queue and the system's send buffer) pass TerminalConfig::send_queue_limit
// is refused whole (false, nothing on the wire). While bytes wait in the
// queue the Poller waits for writability and hands them on; it has no write
// interest otherwise. A terminal that is not reading by the library's stall
// rule (it takes less than a sixteenth of the limit, and less than what
// waited, in the bound) for TerminalConfig::send_stall is lost with reason
// "not reading", as is one the library ended by that rule; one that reads
// slowly but steadily is never cut off, and the others never wait for
// either. behind() tells a host which terminals to
// skip updates for.
//
// A connection that delivers a frame on a channel no terminal uses reads as
// closed (the C library's rule), so a terminal sending garbage is lost and
// reconnected; bytes that never form a frame deliver nothing and, with the
// auto report configured, end in "no auto report".
class Poller {
public:
    using StateHandler = std::function<void(const StateChange &)>;
    using EventHandler = std::function<void(TerminalId, void *user, Event &)>;
    // Called with what the descriptor is ready for; an error or hang-up
    // reports both, so the owner's next call on it finds out.
    using WatchHandler = std::function<void(bool readable, bool writable)>;
    using WatchId = std::uint64_t;
    using TimerId = std::uint64_t;

    // Where every deadline is read from: Clock::now() unless given. A source
    // of one's own (a test's hand-moved clock) is asked once or more per
    // round; it must never go backwards.
    using TimeSource = std::function<Clock::time_point()>;

    explicit Poller(Backoff backoff = {}, TimeSource time = {})
        : backoff_(backoff), time_(std::move(time)), random_(seed()) {}
    // Closes every terminal; no callbacks. Not from inside a callback.
    ~Poller() {
        for (auto &[id, e] : terminals_) {
            drop_socket(*e);
        }
        for (auto &[id, w] : watches_) {
            if (!w->dead) {
                reactor_.remove(w->socket);
            }
        }
    }
    Poller(const Poller &) = delete;
    Poller &operator=(const Poller &) = delete;

    // False when the platform's wait set could not be made: nothing will run.
    bool ok() const noexcept { return reactor_.ok(); }
    // The time as the Poller reads it (its time source).
    Clock::time_point now() const { return time_ ? time_() : Clock::now(); }

    void on_state(StateHandler handler) { on_state_ = std::move(handler); }
    void on_event(EventHandler handler) { on_event_ = std::move(handler); }

    // Adds a terminal; its first connect attempt starts in the next
    // run_once(). Ids are never reused.
    TerminalId add(const TerminalConfig &config) {
        auto e = std::make_unique<Entry>();
        e->id = next_id_++ | kTerminalKind;
        e->config = config;
        e->progress = detail::SendProgress(config.send_queue_limit, config.send_stall);
        e->liveness = detail::Liveness(config.auto_report, config.host_alive_seconds);
        e->retry_at = now();
        Entry &ref = *e;
        terminals_.emplace(e->id, std::move(e));
        schedule(ref);
        return ref.id;
    }

    // Closes and forgets the terminal; no further callbacks for it. Safe
    // inside any callback (also the terminal's own): the Terminal& handed out
    // stays valid until that callback returns. False for an unknown id.
    bool remove(TerminalId id) {
        Entry *e = find(id);
        if (e == nullptr) {
            return false;
        }
        e->removed = true;
        drop_socket(*e);
        graveyard_.push_back(id);
        if (depth_ == 0) {
            reap();
        }
        return true;
    }
    // remove() for every terminal.
    void remove_all() {
        std::vector<TerminalId> ids;
        ids.reserve(terminals_.size());
        for (const auto &[id, e] : terminals_) {
            if (!e->removed) {
                ids.push_back(id);
            }
        }
        for (const TerminalId id : ids) {
            remove(id);
        }
    }

    // The terminal's connection while it is Online, else nullptr: send
    // commands through it. Do not close it or poll() it; the Poller does.
    // Frames that a call through it leaves in the library's buffer (probe()
    // reads) are delivered in the next round.
    Terminal *terminal(TerminalId id) {
        Entry *e = find(id);
        if (e == nullptr || e->state != State::Online) {
            return nullptr;
        }
        if (!e->touched) {
            e->touched = true;
            touched_.push_back(id);
            // What drained since the last look, before new commands add to it.
            refresh(*e);
        }
        return &e->terminal;
    }
    // The bytes waiting for the terminal now (its send queue and the
    // system's send buffer); 0 unless Online.
    std::int32_t waiting_bytes(TerminalId id) noexcept {
        Entry *e = find(id);
        if (e == nullptr || e->state != State::Online) {
            return 0;
        }
        refresh(*e);
        return e->progress.waiting();
    }
    // The terminal is behind: at least TerminalConfig::high_water bytes wait
    // for it now. A host skips updates it can send again later (a redraw)
    // while this holds; they would only be refused once the limit is reached.
    bool behind(TerminalId id) noexcept {
        Entry *e = find(id);
        if (e == nullptr || e->state != State::Online) {
            return false;
        }
        refresh(*e);
        return e->progress.behind(e->config.high_water);
    }
    std::optional<State> state(TerminalId id) const noexcept {
        const Entry *e = find(id);
        return e != nullptr ? std::optional<State>(e->state) : std::nullopt;
    }
    // TerminalConfig::user of a terminal, nullptr for an unknown id.
    void *user(TerminalId id) const noexcept {
        const Entry *e = find(id);
        return e != nullptr ? e->config.user : nullptr;
    }
    std::size_t size() const noexcept { return terminals_.size() - graveyard_.size(); }
    std::size_t online() const noexcept { return online_; }

    // Foreign descriptors in the same loop (for example an MQTT client's
    // socket). The handler runs on the loop's thread; rewatch() changes what
    // is waited for; unwatch() before closing the descriptor. All three are
    // safe inside callbacks. watch() returns 0 when the descriptor cannot be
    // added.
    WatchId watch(native_socket_t socket, bool want_read, bool want_write, WatchHandler handler) {
        auto w = std::make_unique<Watch>();
        w->socket = socket;
        w->handler = std::move(handler);
        const WatchId id = next_id_++ | kWatchKind;
        watches_.emplace(id, std::move(w));
        if (!reactor_.add(socket, id, want_read, want_write)) {
            watches_.erase(id);
            return 0;
        }
        return id;
    }
    bool rewatch(WatchId id, bool want_read, bool want_write) noexcept {
        const auto i = watches_.find(id);
        return i != watches_.end() && !i->second->dead &&
               reactor_.modify(i->second->socket, id, want_read, want_write);
    }
    bool unwatch(WatchId id) {
        const auto i = watches_.find(id);
        if (i == watches_.end() || i->second->dead) {
            return false;
        }
        reactor_.remove(i->second->socket);
        i->second->dead = true;
        dead_watches_.push_back(id);
        if (depth_ == 0) {
            reap();
        }
        return true;
    }

    // Runs `fn` once on the loop's thread after `delay`. cancel() before it
    // ran returns true.
    TimerId after(std::chrono::milliseconds delay, std::function<void()> fn) {
        const TimerId id = next_id_++ | kTimerKind;
        const auto at = detail::later(now(), delay);
        timers_.emplace(id, std::move(fn));
        heap_.push({at, id});
        return id;
    }
    bool cancel(TimerId id) {
        if (timers_.erase(id) == 0) {
            return false;
        }
        // Its heap entry stays until it comes up; a host that re-arms long
        // timers all the time would pile them up, so they are swept out once
        // they outnumber the live ones.
        heap_.add_stale();
        if (heap_.crowded()) {
            heap_.sweep([this](const detail::Due &d) { return live(d); });
        }
        return true;
    }

    // Any thread: runs `fn` on the loop's thread in its next round.
    void post(std::function<void()> fn) {
        posted_.push(std::move(fn));
        reactor_.wake();
    }
    // Any thread: ends the current or next wait early.
    void wake() noexcept { reactor_.wake(); }
    // Any thread: run() returns after its current round (also when stop()
    // came before run() started).
    void stop() noexcept {
        stop_.store(true);
        reactor_.wake();
    }

    // One round: waits up to `max_wait` (less when a deadline is nearer) for
    // readiness, then serves ready sockets, due deadlines and posted work.
    // Returns the number of callbacks and terminal transitions handled.
    std::size_t run_once(std::chrono::milliseconds max_wait);
    // Rounds until stop(); returns at once when !ok().
    void run() {
        while (ok() && !stop_.exchange(false)) {
            run_once(std::chrono::hours{1});
        }
    }

private:
    static constexpr std::uint64_t kTerminalKind = 0;
    static constexpr std::uint64_t kWatchKind = std::uint64_t{1} << 62;
    static constexpr std::uint64_t kTimerKind = std::uint64_t{2} << 62;
    static constexpr std::uint64_t kKindMask = std::uint64_t{3} << 62;
    static constexpr Clock::time_point kNever = detail::kNever;
    // Results delivered per terminal per round before the others get a turn.
    static constexpr int kDrainPerRound = 64;

    struct Entry {
        TerminalId id = 0;
        TerminalConfig config;
        State state = State::Waiting;
        Terminal terminal;
        native_socket_t socket = -1;  // registered with the reactor
        bool removed = false;
        bool pending = false;         // results left over after a round's share
        bool touched = false;         // handed out by terminal() since the last round
        bool want_write = false;      // the reactor waits for writability
        Clock::time_point retry_at = kNever;
        Clock::time_point connect_deadline = kNever;
        Clock::time_point online_since{};
        Clock::time_point scheduled = kNever;  // the live heap entry's time
        detail::Reconnects reconnects;
        detail::Liveness liveness;
        detail::SendProgress progress;
    };
    struct Watch {
        native_socket_t socket = -1;
        WatchHandler handler;
        bool dead = false;
    };
    static std::uint32_t seed() noexcept {
        return static_cast<std::uint32_t>(Clock::now().time_since_epoch().count());
    }

    Entry *find(TerminalId id) noexcept {
        const auto i = terminals_.find(id);
        return i == terminals_.end() || i->second->removed ? nullptr : i->second.get();
    }
    const Entry *find(TerminalId id) const noexcept {
        const auto i = terminals_.find(id);
        return i == terminals_.end() || i->second->removed ? nullptr : i->second.get();
    }

    void drop_socket(Entry &e) noexcept {
        if (e.socket != -1) {
            reactor_.remove(e.socket);
            e.socket = -1;
        }
        if (e.state == State::Online) {
            --online_;
            e.state = State::Lost;
        }
        e.terminal.close();
    }

    void reap() {
        for (const TerminalId id : graveyard_) {
            terminals_.erase(id);
        }
        graveyard_.clear();
        for (const WatchId id : dead_watches_) {
            watches_.erase(id);
        }
        dead_watches_.clear();
    }

    Clock::time_point next_due(const Entry &e) const noexcept {
        switch (e.state) {
        case State::Connecting:
            return e.connect_deadline;
        case State::Waiting:
            return e.retry_at;
        case State::Online:
            return std::min(e.liveness.next(), e.progress.deadline());
        case State::Lost:
            break;
        }
        return kNever;
    }

    bool live(const detail::Due &d) const noexcept {
        if ((d.key & kKindMask) == kTimerKind) {
            return timers_.count(d.key) != 0;
        }
        const Entry *e = find(d.key);
        return e != nullptr && e->scheduled == d.at;
    }

    // Keeps one heap entry per terminal at its earliest deadline; entries
    // whose time no longer matches are skipped when they come up.
    void schedule(Entry &e) {
        const auto t = next_due(e);
        if (t < e.scheduled) {
            if (e.scheduled != kNever) {
                heap_.add_stale();
            }
            e.scheduled = t;
            heap_.push({t, e.id});
        }
    }

    void notify(Entry &e, State s, std::string_view why = {}) {
        if (on_state_) {
            StateChange c;
            c.id = e.id;
            c.state = s;
            c.user = e.config.user;
            c.reason = why;
            c.retry_at = s == State::Waiting ? e.retry_at : Clock::time_point{};
            c.attempt = e.reconnects.attempt();
            ++handled_;
            on_state_(c);
        }
    }

    void wait_to_retry(Entry &e, Clock::time_point now, std::string_view why) {
        e.retry_at = detail::later(now, e.reconnects.next_wait(backoff_, random_));
        e.state = State::Waiting;
        schedule(e);
        notify(e, State::Waiting, why);
    }

    void start_connect(Entry &e, Clock::time_point now) {
        e.reconnects.attempt_started();
        errno = 0;  // set by a connect that fails at once
        e.terminal = Terminal(VQ6120Ex_StartOpen(e.config.endpoint.address, e.config.endpoint.port));
        const std::string_view why = reason::of_connect_error(errno);
        const native_socket_t s = e.terminal.native_socket();
        if (!e.terminal || VQ6120Ex_SetSendQueue(e.terminal.handle(), e.config.send_queue_limit) != 1 ||
            !reactor_.add(s, e.id, false, true)) {
            e.terminal.close();
            wait_to_retry(e, now, e.terminal ? reason::kConnectFailed : why);
            return;
        }
        e.socket = s;
        e.state = State::Connecting;
        e.connect_deadline = detail::later(now, e.config.connect_limit);
        schedule(e);
        notify(e, State::Connecting);
    }

    void fail_connect(Entry &e, Clock::time_point now, std::string_view why) {
        drop_socket(e);
        e.connect_deadline = kNever;
        wait_to_retry(e, now, why);
    }

    void go_online(Entry &e, Clock::time_point now) {
        if (!reactor_.modify(e.socket, e.id, true, false)) {
            fail_connect(e, now, reason::kConnectFailed);
            return;
        }
        e.state = State::Online;
        ++online_;
        e.connect_deadline = kNever;
        e.online_since = now;
        e.progress.start(now);
        e.want_write = false;
        e.reconnects.online();
        Terminal &t = e.terminal;
        if (e.config.keepalive_idle_seconds > 0) {
            t.set_keepalive(e.config.keepalive_idle_seconds, e.config.keepalive_interval_seconds,
                            e.config.keepalive_count);
        }
        if (e.config.auto_report != 0) {
            t.set_auto_report(e.config.auto_report);
        }
        if (e.config.host_alive_seconds != 0) {
            t.set_host_alive_check(e.config.host_alive_seconds);
            t.send_host_alive();
        }
        e.liveness.start(now);
        if (!send_on(e, now)) {
            return;
        }
        schedule(e);
        notify(e, State::Online);
    }

    void lose(Entry &e, Clock::time_point now, std::string_view why) {
        drop_socket(e);
        e.liveness.stop();
        e.state = State::Lost;
        e.reconnects.lost(now - e.online_since, why == reason::kNotReading, backoff_);
        notify(e, State::Lost, why);
        if (!e.removed) {
            wait_to_retry(e, now, why);
        }
    }

    // A terminal's socket is ready.
    void on_ready(Entry &e, bool readable, bool writable, Clock::time_point now) {
        if (e.state == State::Connecting && writable) {
            errno = 0;  // the socket's error when the connect failed
            switch (VQ6120Ex_FinishOpen(e.terminal.handle(), 0)) {
            case 1:
                go_online(e, now);
                break;
            case 0:
                fail_connect(e, now, reason::of_connect_error(errno));
                break;
            default:
                break;
            }
        } else if (e.state == State::Online) {
            if (writable && !send_on(e, now)) {
                return;
            }
            if (readable) {
                drain(e, now);
            }
        }
    }

    // A fresh look at what waits: the flush takes a new reading of the
    // system's part (a connection found closed is handled in the round).
    void refresh(Entry &e) noexcept {
        VQ6120Ex_Flush(e.terminal.handle());
        observe(e, now());
    }

    // Takes in how much waits for the terminal (see SendProgress); nothing
    // waiting counts towards the proof of reading (see Backoff).
    void observe(Entry &e, Clock::time_point now) noexcept {
        if (e.progress.observe(VQ6120Ex_WaitingBytes(e.terminal.handle()), now)) {
            e.reconnects.drained(now - e.online_since, backoff_);
        }
    }

    // Hands the socket what it takes of the terminal's queue, keeps write
    // interest only while bytes stay queued, and schedules the stall
    // deadline. False when the terminal was lost doing so.
    bool send_on(Entry &e, Clock::time_point now) {
        const std::int32_t queued = VQ6120Ex_Flush(e.terminal.handle());
        if (queued < 0) {
            lose(e, now, closed_reason(e, now));
            return false;
        }
        observe(e, now);
        const bool want = queued > 0;
        if (want != e.want_write) {
            if (!reactor_.modify(e.socket, e.id, true, want)) {
                lose(e, now, reason::kClosed);
                return false;
            }
            e.want_write = want;
        }
        schedule(e);
        return true;
    }

    // Why a connection found over ended: the stall rule, judged by the
    // Poller on its bound or by the library on its own (the flush of a
    // connection that is over records which ended it), names the terminal
    // that stopped reading.
    static std::string_view closed_reason(const Entry &e, Clock::time_point now) noexcept {
        const VQ6120_HANDLE h = e.terminal.handle();
        const bool library_stalled = VQ6120Ex_Flush(h) < 0 && VQ6120Ex_LastRefusal(h) == VQ6120_REFUSED_STALLED;
        return e.progress.stalled(now) || library_stalled ? reason::kNotReading : reason::kClosed;
    }

    // Terminals used through terminal() since the last look: what their
    // commands queued starts out (write interest, the stall deadline), and a
    // call that read (a probe) can have left whole frames buffered where no
    // readiness shows them.
    void settle_touched(Clock::time_point now) {
        for (std::size_t i = 0; i < touched_.size(); ++i) {
            Entry *e = find(touched_[i]);
            if (e == nullptr) {
                continue;
            }
            e->touched = false;
            if (e->state == State::Online && send_on(*e, now) && e->terminal.buffered_bytes() > 0) {
                queue_pending(*e);
            }
        }
        touched_.clear();
    }

    void queue_pending(Entry &e) {
        if (!e.pending) {
            pending_.push_back(e.id);
            e.pending = true;
        }
    }

    // Delivers up to a round's share of the terminal's results. On return
    // `pending` says whether it is queued in pending_ for more in the next
    // round (an id queued but no longer pending is skipped there).
    void drain(Entry &e, Clock::time_point now) {
        for (int i = 0; i < kDrainPerRound; ++i) {
            std::optional<Event> event;
            switch (detail::next_event(e.terminal.handle(), event)) {
            case detail::Next::Closed:
                e.pending = false;
                lose(e, now, closed_reason(e, now));
                return;
            case detail::Next::Nothing:
                e.pending = false;
                return;
            case detail::Next::Delivered:
                // Only whole frames prove the link: bytes that never make a
                // frame (a stream out of step) do not keep a terminal alive.
                e.liveness.received(now);
                ++handled_;
                if (on_event_) {
                    // Queued before the callback, so that frames buffered
                    // behind this one are not stranded should it throw.
                    if (e.terminal.buffered_bytes() > 0) {
                        queue_pending(e);
                    }
                    on_event_(e.id, e.config.user, *event);
                }
                if (e.removed || e.state != State::Online) {
                    return;
                }
                // Nothing left in the library's buffer: whatever the socket
                // still holds makes it ready again in the next round, so the
                // read that would only find it empty is saved.
                if (e.terminal.buffered_bytes() == 0) {
                    e.pending = false;
                    return;
                }
                break;
            }
        }
        queue_pending(e);
    }

    // A terminal's earliest deadline came up.
    void on_due(Entry &e, Clock::time_point now) {
        switch (e.state) {
        case State::Waiting:
            if (now >= e.retry_at) {
                e.retry_at = kNever;
                start_connect(e, now);
                return;
            }
            break;
        case State::Connecting:
            if (now >= e.connect_deadline) {
                // The handshake may have completed without the wait telling
                // us yet: one last look before giving up.
                if (VQ6120Ex_FinishOpen(e.terminal.handle(), 0) == 1) {
                    go_online(e, now);
                } else {
                    fail_connect(e, now, reason::kConnectTimeout);
                }
                return;
            }
            break;
        case State::Online:
            if (e.liveness.silent(now)) {
                // Judged only on what has been read: after a long round (a
                // callback that took seconds, a paused process, more ready
                // sockets than one wait returns) its reports may sit unread
                // in the socket or the library's buffer. Those are read
                // first; a closed socket is lost for that.
                if (e.terminal.buffered_bytes() > 0 || detail::wait_readable(e.socket, 0)) {
                    drain(e, now);
                    if (e.removed || e.state != State::Online) {
                        return;
                    }
                }
                if (e.liveness.silent(now)) {
                    lose(e, now, reason::kNoAutoReport);
                    return;
                }
            }
            if (e.progress.stalled(now)) {
                // One last look: what went out since counts.
                if (!send_on(e, now)) {
                    return;
                }
                if (e.progress.stalled(now)) {
                    lose(e, now, reason::kNotReading);
                    return;
                }
            }
            if (e.liveness.alive_due(now)) {
                e.terminal.send_host_alive();
                e.liveness.alive_sent(now);
                if (!send_on(e, now)) {
                    return;
                }
            }
            break;
        case State::Lost:
            break;
        }
        schedule(e);
    }

    Backoff backoff_;
    TimeSource time_;
    detail::Reactor reactor_;
    std::minstd_rand random_;
    StateHandler on_state_;
    EventHandler on_event_;
    std::unordered_map<TerminalId, std::unique_ptr<Entry>> terminals_;
    std::unordered_map<WatchId, std::unique_ptr<Watch>> watches_;
    std::unordered_map<TimerId, std::function<void()>> timers_;
    detail::DueHeap heap_;
    std::deque<TerminalId> pending_;
    std::vector<TerminalId> touched_;
    std::vector<TerminalId> graveyard_;
    std::vector<WatchId> dead_watches_;
    detail::Posted posted_;
    std::atomic<bool> stop_{false};
    std::uint64_t next_id_ = 1;
    std::size_t online_ = 0;
    std::size_t handled_ = 0;
    int depth_ = 0;
};

inline std::size_t Poller::run_once(std::chrono::milliseconds max_wait) {
    // Removals asked for by callbacks are carried out when the round ends,
    // so nothing a callback's caller still uses goes away under it.
    struct Depth {
        Poller &p;
        explicit Depth(Poller &poller) : p(poller) { ++p.depth_; }
        ~Depth() {
            if (--p.depth_ == 0) {
                p.reap();
            }
        }
    } depth(*this);
    handled_ = 0;

    // Work posted so far, one at a time: what a throwing function leaves
    // behind stays queued, and work posted meanwhile waits for the next round.
    for (std::size_t posted = posted_.size(); posted > 0; --posted) {
        std::function<void()> fn = posted_.take();
        ++handled_;
        fn();
    }

    auto now = this->now();
    settle_touched(now);

    std::chrono::milliseconds wait = std::max(max_wait, std::chrono::milliseconds{0});
    const bool more = std::any_of(pending_.begin(), pending_.end(), [this](TerminalId id) {
        const Entry *e = find(id);
        return e != nullptr && e->pending;
    });
    if (more || stop_.load()) {
        wait = std::chrono::milliseconds{0};
    } else if (!heap_.empty()) {
        wait = std::min(wait, std::max(std::chrono::ceil<std::chrono::milliseconds>(heap_.top().at - now),
                                       std::chrono::milliseconds{0}));
    }
    reactor_.wait(detail::clamp_ms(wait), [&](std::uint64_t key, bool readable, bool writable) {
        const auto at = this->now();
        if ((key & kKindMask) == kWatchKind) {
            const auto i = watches_.find(key);
            if (i != watches_.end() && !i->second->dead) {
                ++handled_;
                // An unwatch() inside the handler keeps the record until the
                // round ends.
                i->second->handler(readable, writable);
            }
            return;
        }
        if (Entry *e = find(key)) {
            on_ready(*e, readable, writable, at);
        }
    });

    // Terminals with results left from their share, oldest first; those
    // that fill their share again queue up behind for the next round.
    for (std::size_t n = pending_.size(); n > 0; --n) {
        const TerminalId id = pending_.front();
        pending_.pop_front();
        Entry *e = find(id);
        if (e != nullptr && e->pending) {
            e->pending = false;
            if (e->state == State::Online) {
                drain(*e, this->now());
            }
        }
    }

    now = this->now();
    for (std::size_t budget = heap_.size(); budget > 0 && !heap_.empty() && heap_.top().at <= now; --budget) {
        const detail::Due due = heap_.pop();
        if ((due.key & kKindMask) == kTimerKind) {
            const auto i = timers_.find(due.key);
            if (i == timers_.end()) {
                heap_.skipped_stale();
            } else {
                auto fn = std::move(i->second);
                timers_.erase(i);
                ++handled_;
                fn();
            }
            continue;
        }
        Entry *e = find(due.key);
        if (e == nullptr || e->scheduled != due.at) {
            heap_.skipped_stale();
            continue;
        }
        e->scheduled = kNever;
        on_due(*e, now);
    }
    // Commands the callbacks sent start out now.
    settle_touched(now);
    return handled_;
}

}  // namespace vq6120
