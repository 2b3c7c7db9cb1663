#include "gateway.hpp"

#include <algorithm>

#include "log.hpp"
#include "operations.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

// Commands that may wait behind a terminal's picture job; more are busy.
constexpr std::size_t kMaxHeld = 16;
// Waiting events published per loop turn, and at most unacknowledged at
// once: the drain never holds the loop, and libmosquitto's outgoing queue
// stays short.
constexpr std::size_t kForwardChunk = 64;
constexpr std::size_t kForwardWindow = 256;
// Waiting events taken from the backlog and held back because their
// terminal's birth is not out yet (publisher's history_ready()); at this
// many the drain pauses until a birth (at most connect_timeout_ms away).
constexpr std::size_t kMaxDeferred = 1024;
// A refusal made on the loop echoes the caller's "id" only from a payload
// this small: the loop never parses a picture.
constexpr std::size_t kMaxIdPayload = 64 << 10;

json request_id(std::string_view payload) {
    if (payload.size() > kMaxIdPayload || !depth_within(payload, kMaxPayloadDepth)) return nullptr;
    const json j = json::parse(payload, nullptr, false);
    if (!j.is_object()) return nullptr;
    const auto id = j.find("id");
    return id == j.end() ? json(nullptr) : *id;
}

std::string_view state_name(vq6120::State s) {
    return s == vq6120::State::Online ? "online" : s == vq6120::State::Connecting ? "connecting" : "offline";
}

}  // namespace

std::optional<ShownState> state_after(const ShownState &now, const vq6120::StateChange &change) {
    ShownState next{std::string(state_name(change.state)),
                    !change.reason.empty()                      ? std::string(change.reason)
                    : change.state == vq6120::State::Online     ? "connected"
                    : change.state == vq6120::State::Connecting ? "attempt " + std::to_string(change.attempt)
                                                                : now.reason};
    if (next == now) return std::nullopt;
    return next;
}

vq6120::Backoff backoff_for(const Config &config) {
    vq6120::Backoff b;
    b.initial = std::chrono::milliseconds(config.terminal_reconnect_min_ms);
    b.maximum = std::chrono::milliseconds(config.terminal_reconnect_max_ms);
    return b;
}

Gateway::Gateway(const Config &config, vq6120::Poller &poller)
    : config_(config),
      poller_(poller),
      metrics_(command_names()),
      backlog_(make_backlog(config)),
      worker_(std::make_unique<PictureWorker>(static_cast<std::size_t>(config.picture_queue))) {
    for (const TerminalConfig &t : config_.terminals) add_node(t);
    publisher_ = make_publisher(*this);
    MqttLink::Callbacks callbacks;
    callbacks.will = [this](bool previous_sent) { return publisher_->will(previous_sent); };
    callbacks.connected = [this] { on_connected(); };
    callbacks.message = [this](const std::string &topic, std::string_view payload, std::string_view correlation) {
        publisher_->message(topic, payload, correlation);
    };
    callbacks.ticked = [this] { ticked(); };
    callbacks.lost = [this](const std::string &) {
        // What was in flight or held goes again, in order, after the next births.
        in_flight_.clear();
        deferred_.clear();
        backlog_->rewind();
        sync_broker_metrics();
    };
    callbacks.acked = [this](int mid) { on_acked(mid); };
    callbacks.sent = [this](const Message &m) {
        if (m.read_at != std::chrono::steady_clock::time_point{}) metrics_.published(std::chrono::steady_clock::now() - m.read_at);
    };
    // Each attempt sets its own will; this one only fills the client's.
    link_ = std::make_unique<MqttLink>(config_.broker, publisher_->will(false), std::move(callbacks), poller_);
    link_->fresh_sessions(publisher_->republishes_unacknowledged());
    if (config_.redundancy) start_roles();
}

Gateway::~Gateway() {
    // No picture job runs past here, and none already posted to the loop
    // reaches this gateway.
    worker_->stop();
    *alive_ = false;
    if (watchdog_ != 0) poller_.cancel(watchdog_);
    if (role_timer_ != 0) poller_.cancel(role_timer_);
}

void Gateway::start() {
    poller_.on_state([this](const vq6120::StateChange &c) { on_state(c); });
    poller_.on_event([this](vq6120::TerminalId, void *user, vq6120::Event &e) {
        Node &n = *static_cast<Node *>(user);
        if (roles_ && !n.answered) {
            // The first frame: the terminal took this gateway as its host.
            n.answered = true;
            show(n, "online", "connected");
        }
        // Counted here, for both kinds of publisher: published (or kept), or
        // changing nothing.
        if (publisher_->event(n, e, std::chrono::steady_clock::now())) {
            metrics_.event(event_kind(e));
        } else {
            metrics_.unchanged();
        }
    });
    for (Node &n : nodes_) connect(n);  // none while standby
    log(Level::info, "serving " + std::to_string(nodes_.size()) + " terminals " + publisher_->describe());
    metrics_.backlog(backlog_->size(), backlog_->bytes(), backlog_->dropped());
    link_->start();
    if (role_link_) role_link_->start();
    schedule_watchdog();
}

Node &Gateway::add_node(const TerminalConfig &t) {
    Node &n = nodes_.emplace_back();
    n.key = next_key_++;
    n.config = t;
    n.base = config_.prefix + "/" + t.name;
    n.state_payload = state_payload(n.state, n.reason);
    by_name_.emplace(t.name, &n);
    metrics_.terminal_added(n.state);
    return n;
}

void Gateway::connect(Node &n) {
    if (hold_ != Hold::all) return;  // standby, or the broker away: the terminal is not ours to take
    vq6120::TerminalConfig tc;
    tc.endpoint = {n.config.address_n, n.config.port};
    tc.connect_limit = std::chrono::milliseconds(config_.connect_timeout_ms);
    tc.auto_report = static_cast<std::uint8_t>(n.config.auto_report);
    tc.host_alive_seconds = static_cast<std::uint8_t>(n.config.host_alive);
    tc.user = &n;
    n.id = poller_.add(tc);
}

void Gateway::ask(Node &n) {
    vq6120::Terminal *t = poller_.terminal(n.id);
    if (t == nullptr) return;
    // 0 is off on the terminal too (the Poller sends only a time it watches):
    // a report time an earlier host set would otherwise go on.
    if (n.config.auto_report == 0) t->set_auto_report(0);
    t->request_model_name();
    t->request_inputs();
}

// ---- The service manager ---------------------------------------------------

std::string Gateway::status_line() const {
    return std::to_string(poller_.online()) + " of " + std::to_string(nodes_.size()) + " terminals online; broker " +
           (link_->connected() ? "connected" : "away");
}

void Gateway::schedule_watchdog() {
    // From the loop itself: a loop that hangs stops the pings, and the
    // service manager restarts the gateway.
    if (notifier_.watchdog_interval().count() == 0) return;
    watchdog_ = poller_.after(notifier_.watchdog_interval(), [this] {
        watchdog_ = 0;
        if (stopped_) return;
        notifier_.watchdog();
        schedule_watchdog();
    });
}

// ---- The broker link's tick -----------------------------------------------

void Gateway::ticked() {
    if (stopped_) return;
    sync_broker_metrics();
    if (ready_) notifier_.status(status_line());
    publisher_->ticked();
}

// ---- Terminals to the broker ---------------------------------------------

void Gateway::on_state(const vq6120::StateChange &change) {
    if (stopped_) return;
    Node &n = *static_cast<Node *>(change.user);
    if (roles_ && on_state_redundant(n, change)) return;
    auto next = state_after({n.state, n.reason}, change);
    if (!next) return;
    if (change.state == vq6120::State::Online) ask(n);
    show(n, std::move(next->state), std::move(next->reason));
}

void Gateway::show(Node &n, std::string state, std::string reason) {
    metrics_.terminal_shown(n.state, state, reason);
    const std::string was = n.state;
    n.state = std::move(state);
    n.reason = std::move(reason);
    n.state_payload = state_payload(n.state, n.reason);  // stamped with the time of the change
    log(Level::info, n.config.name + ": " + n.state + " (" + n.reason + ")");
    if (was == "online" && n.state != "online") {
        n.inputs.reset();
        n.asked = 0;
    }
    publisher_->state_changed(n, was);
    end_turn();  // a terminal no longer waiting for its birth lets its history go
}

Node *Gateway::find(const std::string &name) {
    const auto found = by_name_.find(name);
    return found == by_name_.end() ? nullptr : found->second;
}

bool Gateway::publishing() const { return link_->connected() && publisher_->may_publish(); }

void Gateway::keep(Pending pending) {
    backlog_->push(std::move(pending));
    if (backlog_->dropping_started()) {
        log(Level::warning, "events wait beyond the bound: dropping the oldest (" + std::to_string(backlog_->dropped()) +
                                " dropped so far)");
    }
    end_turn();
}

void Gateway::end_turn() {
    if (turn_pending_ || stopped_) return;
    turn_pending_ = true;
    // Posted work runs when the round ends, before the loop waits again.
    poller_.post([this, alive = alive_] {
        if (!*alive) return;
        turn_pending_ = false;
        forward();
        backlog_->commit();
        metrics_.backlog(backlog_->size(), backlog_->bytes(), backlog_->dropped());
    });
}

void Gateway::forward() {
    if (!publishing()) return;
    // Those held for their terminal's birth, once it came, go first: they
    // are older than anything of their terminal still in the backlog.
    for (auto it = deferred_.begin(); it != deferred_.end() && in_flight_.size() < kForwardWindow;) {
        if (!publisher_->history_ready(it->second.terminal)) {
            ++it;
            continue;
        }
        if (!send_waiting(it->second)) return;
        it = deferred_.erase(it);
    }
    if (in_flight_.size() >= kForwardWindow || deferred_.size() >= kMaxDeferred) return;
    const auto next = backlog_->take(std::min({kForwardChunk, kForwardWindow - in_flight_.size(), kMaxDeferred - deferred_.size()}));
    for (const Pending &p : next) {
        if (!publisher_->history_ready(p.terminal)) {
            deferred_.emplace(p.id, p);
        } else if (!send_waiting(p)) {
            return;
        }
    }
    // A full chunk: more may wait, for the next turn.
    if (next.size() == kForwardChunk) end_turn();
}

bool Gateway::send_waiting(const Pending &p) {
    // The store may hold anything: a name that is no topic level is dropped.
    const Message m = valid_topic_level(p.terminal) ? publisher_->historical(p) : Message{};
    const int mid = m.topic.empty() ? -2 : link_->publish_acked(m);
    if (mid == -1) return false;  // the connection is going; its loss rewinds
    if (mid == -2) {
        log(Level::warning, "a waiting event of '" + p.terminal + "' cannot be published; dropped");
        backlog_->discard(p.id);
        return true;
    }
    in_flight_[mid] = p.id;
    return true;
}

void Gateway::on_acked(int mid) {
    const auto it = in_flight_.find(mid);
    if (it == in_flight_.end()) return;
    backlog_->done(it->second);
    in_flight_.erase(it);
    end_turn();
}

// ---- The broker to terminals ---------------------------------------------

void Gateway::sync_broker_metrics() {
    metrics_.broker(link_->connected(), link_->connects(), link_->queued(), link_->dropped());
}

void Gateway::on_connected() {
    sync_broker_metrics();
    publisher_->connected();
    end_turn();  // what waited follows the births
    if (!ready_) {
        // Up: the broker connected and every terminal of the list added.
        ready_ = true;
        notifier_.ready(status_line());
    }
}

void Gateway::command(const std::string &name, const std::string &operation, std::string_view payload,
                      const std::string &correlation) {
    if (roles_ && standby_command(name, operation, payload, correlation)) return;
    const auto found = by_name_.find(name);
    if (found == by_name_.end()) {
        return refuse(name, operation, "terminal '" + name + "' is not served by this gateway (" + config_.broker.client_id + ")",
                      payload, correlation);
    }
    Node &n = *found->second;
    if (!n.held.empty()) {
        // Behind a picture of the same terminal: waits its turn.
        if (n.held.size() >= kMaxHeld) {
            return refuse(name, operation,
                          "busy: " + std::to_string(n.held.size()) + " commands wait for terminal '" + name +
                              "' behind a picture (at most " + std::to_string(kMaxHeld) + "); nothing sent",
                          payload, correlation, true);
        }
        if (!is_picture_operation(operation)) {
            n.held.push_back({0, operation, std::string(payload), correlation});
            return;
        }
    }
    if (is_picture_operation(operation)) {
        if (!submit_picture(n, operation, payload, correlation)) {
            return refuse(name, operation,
                          "busy: " + std::to_string(worker_->waiting()) + " pictures wait to be prepared (at most " +
                              std::to_string(worker_->capacity()) + "); nothing sent",
                          payload, correlation, true);
        }
        return;
    }
    finish(n, parse_request(operation, payload), correlation);
}

bool Gateway::submit_picture(Node &n, const std::string &operation, std::string_view payload, const std::string &correlation) {
    const std::uint64_t job = next_job_++;
    // Everything from the JSON text to the terminal's commands happens on the
    // worker; the loop gets back what to send.
    auto prepare = [this, poller = &poller_, alive = alive_, name = n.config.name, key = n.key, job, operation,
                    payload = std::string(payload)] {
        Request request;
        try {
            request = parse_request(operation, payload);
        } catch (const std::exception &e) {
            request = Request{};
            request.operation = operation;
            request.refusal.error = std::string("the picture could not be prepared: ") + e.what();
        }
        poller->post([this, alive, name, key, job, request = std::move(request)]() mutable {
            if (*alive) picture_ready(name, key, job, std::move(request));
        });
    };
    if (!worker_->submit(std::move(prepare))) return false;
    n.held.push_back({job, operation, {}, correlation});
    return true;
}

void Gateway::picture_ready(const std::string &name, std::uint64_t key, std::uint64_t job, Request request) {
    if (stopped_) return;
    const auto found = by_name_.find(name);
    // A terminal removed meanwhile had its commands answered then.
    if (found == by_name_.end() || found->second->key != key) return;
    Node &n = *found->second;
    if (n.held.empty() || n.held.front().job != job) return;
    const std::string correlation = std::move(n.held.front().correlation);
    n.held.pop_front();
    finish(n, request, correlation);
    drain(n);
}

void Gateway::drain(Node &n) {
    while (!n.held.empty() && n.held.front().job == 0) {
        const Held h = std::move(n.held.front());
        n.held.pop_front();
        finish(n, parse_request(h.operation, h.payload), h.correlation);
    }
}

CommandOutcome Gateway::execute(Node &n, const Request &request) {
    const CommandOutcome outcome = request.refused() ? request.refusal : run_command(n, request);
    if (outcome.ok) {
        metrics_.command(command_index(request.operation));
    } else {
        metrics_.refused();
    }
    return outcome;
}

void Gateway::refused(const std::string &what) {
    metrics_.refused();
    log(Level::info, what);
}

void Gateway::finish(Node &n, const Request &request, const std::string &correlation) {
    const CommandOutcome outcome = execute(n, request);
    if (outcome.ok && request.operation == "di") ++n.asked;
    log(outcome.ok ? Level::debug : Level::info,
        n.config.name + ": " + request.operation + (outcome.ok ? " sent" : " refused: " + outcome.error));
    answer(n.config.name, request.operation, outcome, request.id, correlation);
}

void Gateway::refuse(const std::string &terminal, const std::string &operation, std::string error, std::string_view payload,
                     const std::string &correlation, bool busy) {
    if (busy) metrics_.busy();
    refused(terminal + ": " + operation + " refused: " + error);
    CommandOutcome outcome;
    outcome.error = std::move(error);
    answer(terminal, operation, outcome, request_id(payload), correlation);
}

void Gateway::refuse_held(Node &n, const std::string &why, std::vector<Message> *into) {
    CommandOutcome outcome;
    outcome.error = why;
    for (const Held &h : n.held) {
        metrics_.refused();
        answer(n.config.name, h.operation, outcome, request_id(h.payload), h.correlation, into);
    }
    n.held.clear();
}

void Gateway::answer(const std::string &terminal, const std::string &operation, const CommandOutcome &outcome,
                     const json &id, const std::string &correlation, std::vector<Message> *into) {
    std::optional<Message> m = publisher_->result(terminal, operation, outcome, id, correlation);
    if (!m) return;
    if (into != nullptr) {
        into->push_back(std::move(*m));
    } else {
        link_->publish(std::move(*m));
    }
}

CommandOutcome Gateway::run_command(Node &n, const Request &request) {
    CommandOutcome out;
    vq6120::Terminal *t = ready_terminal(n, out);
    if (t == nullptr) return out;
    if (request.picture) {
        out.ok = send_image(t->handle(), *request.picture);
        if (!out.ok && VQ6120Ex_LastRefusal(t->handle()) == VQ6120_REFUSED_QUEUE_FULL) return behind(n, out);
        if (!out.ok) out.error = "not sent: the connection to the terminal failed";
        return out;
    }
    const ops::Result r = ops::invoke(*request.op, t->handle(), request.args);
    out.ok = static_cast<bool>(r);
    if (!out.ok && VQ6120Ex_LastRefusal(t->handle()) == VQ6120_REFUSED_QUEUE_FULL) return behind(n, out);
    if (!out.ok) {
        out.argument = r.argument;
        out.error = r.error.empty() ? "not sent: the connection to the terminal failed" : r.error;
    }
    return out;
}

vq6120::Terminal *Gateway::ready_terminal(Node &n, CommandOutcome &out) {
    vq6120::Terminal *t = poller_.terminal(n.id);
    if (t == nullptr) {
        out.error = "terminal '" + n.config.name + "' is " + n.state;
        return nullptr;
    }
    // Sends never wait (the Poller's queued mode): a terminal that is behind
    // (as many bytes wait for it as the Poller's high-water mark), or whose
    // queue cannot take the command whole, is answered at once.
    if (poller_.behind(n.id)) {
        behind(n, out);
        return nullptr;
    }
    return t;
}

CommandOutcome &Gateway::behind(Node &n, CommandOutcome &out) {
    metrics_.behind();
    out.ok = false;
    out.error = "terminal '" + n.config.name + "' is behind: " + std::to_string(poller_.waiting_bytes(n.id)) +
                " bytes wait for it; nothing sent";
    return out;
}

// ---- Stopping --------------------------------------------------------------

void Gateway::shutdown(int flush_ms) {
    if (stopped_) return;
    stopped_ = true;
    notifier_.stopping();
    worker_->stop();
    std::vector<Message> last;
    for (Node &n : nodes_) {
        refuse_held(n, "the gateway is stopping; nothing sent", &last);
        n.state = "offline";
        n.reason = "gateway stopped";
        n.state_payload = state_payload(n.state, n.reason);
    }
    const bool keep_will = publisher_->stopping(last);
    if (watchdog_ != 0) poller_.cancel(watchdog_);
    watchdog_ = 0;
    link_->stop(last, flush_ms, keep_will);
    stop_roles(flush_ms);
    log(Level::info, "stopped");
    poller_.remove_all();
    poller_.stop();
}

}  // namespace vq6120::gateway

namespace vq6120::gateway {

// ---- Reloading the configuration -------------------------------------------

bool Gateway::reload(const std::string &path) {
    if (stopped_) return false;
    notifier_.reloading();
    const auto loaded = load_config(path);
    if (!loaded.config) {
        for (const ConfigError &e : loaded.errors) {
            log(Level::error, "reload refused, nothing changed: " + path + ": " + e.describe());
        }
        metrics_.reloaded(false);
        notifier_.ready(status_line());
        return false;
    }
    const Config &next = *loaded.config;
    // The broker connection, the topics and the Poller's backoff are made
    // once, at the start.
    if (!(next.broker == config_.broker) || next.prefix != config_.prefix || next.sparkplug != config_.sparkplug ||
        next.metrics != config_.metrics || next.redundancy != config_.redundancy ||
        next.terminal_reconnect_min_ms != config_.terminal_reconnect_min_ms ||
        next.terminal_reconnect_max_ms != config_.terminal_reconnect_max_ms) {
        log(Level::warning,
            "reload: broker, prefix, sparkplug, metrics, redundancy and terminal_reconnect_* keep their values until the gateway "
            "restarts");
    }
    config_.status_interval_s = next.status_interval_s;
    config_.connect_timeout_ms = next.connect_timeout_ms;  // for connections made from now on
    config_.picture_queue = next.picture_queue;
    worker_->set_capacity(static_cast<std::size_t>(next.picture_queue));

    std::unordered_map<std::string, const TerminalConfig *> wanted;
    for (const TerminalConfig &t : next.terminals) wanted.emplace(t.name, &t);
    std::size_t removed = 0, changed = 0, added = 0;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        Node &n = *it;
        const auto w = wanted.find(n.config.name);
        if (w == wanted.end()) {
            refuse_held(n, "terminal '" + n.config.name + "' was removed from the configuration; nothing sent");
            poller_.remove(n.id);
            show(n, "offline", "removed from the configuration");
            metrics_.terminal_removed(n.state);
            publisher_->removed(n);
            by_name_.erase(n.config.name);
            it = nodes_.erase(it);
            ++removed;
            continue;
        }
        if (!(*w->second == n.config)) {
            poller_.remove(n.id);
            n.config = *w->second;
            show(n, "connecting", "reconfigured");
            connect(n);
            ++changed;
        }
        wanted.erase(w);
        ++it;
    }
    // New ones in the file's order.
    for (const TerminalConfig &t : next.terminals) {
        if (wanted.count(t.name) == 0) continue;
        Node &n = add_node(t);
        show(n, "connecting", "added");
        connect(n);
        ++added;
    }
    config_.terminals = next.terminals;
    metrics_.reloaded(true);
    log(Level::info, "reloaded " + path + ": " + std::to_string(added) + " added, " + std::to_string(removed) + " removed, " +
                         std::to_string(changed) + " changed, " + std::to_string(nodes_.size() - added - changed) +
                         " unchanged");
    notifier_.ready(status_line());
    return true;
}

}  // namespace vq6120::gateway
