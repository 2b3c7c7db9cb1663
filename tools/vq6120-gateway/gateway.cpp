#include "gateway.hpp"


#include <algorithm>

#include "bdseq.hpp"
#include "log.hpp"
#include "operations.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

constexpr int kStateQos = 0;   // republished whole on every connect
constexpr int kResultQos = 1;  // a lost result would leave its sender guessing

// Commands that may wait behind a terminal's picture job; more are busy.
constexpr std::size_t kMaxHeld = 16;
// Waiting events published per loop turn, and at most unacknowledged at
// once: the drain never holds the loop, and libmosquitto's outgoing queue
// stays short.
constexpr std::size_t kForwardChunk = 64;
constexpr std::size_t kForwardWindow = 256;
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
    const Message will{status_topic(), status_payload("offline", "connection lost"), 1, true, {}};
    MqttLink::Callbacks callbacks;
    if (config_.sparkplug) {
        // NDEATH is the will, with the bdSeq of the session it ends.
        const std::string &file = config_.sparkplug->state_file;
        edge_ = std::make_unique<sparkplug::EdgeNode>(*config_.sparkplug,
                                                      file.empty() ? default_bdseq_path(config_.broker.client_id) : file);
        callbacks.will = [this](bool previous_sent) {
            Message will = edge_->next_session(previous_sent);
            metrics_.primary_host(edge_->host_online());
            return will;
        };
    }
    callbacks.connected = [this] { on_connected(); };
    callbacks.message = [this](const std::string &topic, std::string_view payload, std::string_view correlation) {
        on_message(topic, payload, correlation);
    };
    callbacks.ticked = [this] { ticked(); };
    callbacks.lost = [this](const std::string &) {
        // What was in flight goes again, in order, after the next births.
        in_flight_.clear();
        backlog_->rewind();
        sync_broker_metrics();
    };
    callbacks.acked = [this](int mid) { on_acked(mid); };
    callbacks.sent = [this](const Message &m) {
        if (m.read_at != std::chrono::steady_clock::time_point{}) metrics_.published(std::chrono::steady_clock::now() - m.read_at);
    };
    link_ = std::make_unique<MqttLink>(config_.broker, will, std::move(callbacks), poller_);
    if (config_.redundancy) start_roles();
}

Gateway::~Gateway() {
    // No picture job runs past here, and none already posted to the loop
    // reaches this gateway.
    worker_->stop();
    *alive_ = false;
    if (watchdog_ != 0) poller_.cancel(watchdog_);
    if (role_timer_ != 0) poller_.cancel(role_timer_);
    for (Node &n : nodes_) {
        if (n.birth_wait != 0) poller_.cancel(n.birth_wait);
    }
}

std::string Gateway::status_topic() const { return config_.prefix + "/_gateway/" + config_.broker.client_id + "/status"; }

void Gateway::start() {
    poller_.on_state([this](const vq6120::StateChange &c) { on_state(c); });
    poller_.on_event([this](vq6120::TerminalId, void *user, vq6120::Event &e) { on_event(*static_cast<Node *>(user), e); });
    for (Node &n : nodes_) {
        if (holding()) connect(n);
    }
    log(Level::info, "serving " + std::to_string(nodes_.size()) + " terminals " +
                         (edge_ ? "as the Sparkplug B edge node " + edge_->namespace_filter() : "under " + config_.prefix + "/"));
    status_due_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.status_interval_s);
    metrics_.backlog(backlog_->size(), backlog_->bytes(), backlog_->dropped());
    link_->start();
    if (role_link_) role_link_->start();
    schedule_watchdog();
}

Gateway::Node &Gateway::add_node(const TerminalConfig &t) {
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
    const auto now = std::chrono::steady_clock::now();
    if (now >= status_due_) {
        status_due_ = now + std::chrono::seconds(config_.status_interval_s);
        const std::uint64_t mark = link_->dropped() + backlog_->dropped() + events_ + commands_ + refused_ + behind_ + poller_.online();
        if (mark != status_mark_ && link_->connected() && !edge_) publish_status("online", "running");
    }
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
    if (edge_) {
        announce(n, was);
    } else {
        publish_state(n);
    }
}

void Gateway::publish_state(Node &n) {
    // While the broker is away the state is not queued: it is republished,
    // current, when the broker comes back. A standby speaks for no terminal.
    if (link_->connected() && holding()) link_->publish({n.base + "/state", n.state_payload, kStateQos, true, {}});
}

void Gateway::on_event(Node &n, const vq6120::Event &event) {
    const auto read_at = std::chrono::steady_clock::now();
    if (roles_ && !n.answered) {
        // The first frame: the terminal took this gateway as its host.
        n.answered = true;
        show(n, "online", "connected");
    }
    if (edge_) return on_event_sparkplug(n, event, read_at);
    // Inputs by exception: an auto report that says what the last one said
    // is a sign of life, not news. A "di" command's answer goes out anyway.
    if (const auto *inputs = std::get_if<vq6120::DigitalInputs>(&event)) {
        if (n.inputs == *inputs) {
            if (n.asked == 0) {
                metrics_.unchanged();
                return;
            }
            --n.asked;
        }
        n.inputs = *inputs;
    }
    Publication p = event_payload(event);
    ++events_;
    metrics_.event(p.subtopic);
    // Behind waiting events, an event waits too: order per terminal holds.
    const bool now = publishing() && backlog_->empty();
    if (!now) return keep({0, n.config.name, std::move(p.subtopic), std::move(p.payload)});
    link_->publish({n.base + "/" + p.subtopic, std::move(p.payload), config_.broker.event_qos, false, {}, read_at});
}

bool Gateway::publishing() const { return link_->connected() && (!edge_ || edge_->born()); }

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
    if (!publishing() || in_flight_.size() >= kForwardWindow) return;
    const auto next = backlog_->take(std::min(kForwardChunk, kForwardWindow - in_flight_.size()));
    for (const Pending &p : next) {
        const Message m = historical(p);
        const int mid = m.topic.empty() ? -2 : link_->publish_acked(m);
        if (mid == -1) return;  // the connection is going; its loss rewinds
        if (mid == -2) {
            log(Level::warning, "a waiting event of '" + p.terminal + "' cannot be published; dropped");
            backlog_->discard(p.id);
            continue;
        }
        in_flight_[mid] = p.id;
    }
    // A full chunk: more may wait, for the next turn.
    if (next.size() == kForwardChunk) end_turn();
}

Message Gateway::historical(const Pending &p) {
    // The store may hold anything: a name that is no topic level is dropped.
    if (!valid_topic_level(p.terminal)) return {};
    if (edge_) {
        auto values = sparkplug::decode(p.payload);
        if (!values || values->metrics.empty()) return {};
        values->seq.reset();
        values->historical = true;
        // The data types are in the device's DBIRTH of this session; one
        // without (offline now, or a terminal no longer listed) carries them.
        const auto found = by_name_.find(p.terminal);
        values->datatypes = found == by_name_.end() || !found->second->born;
        Message m = edge_->device_data(p.terminal, std::move(*values));
        m.qos = 1;
        return m;
    }
    json j = json::parse(p.payload, nullptr, false);
    if (!j.is_object()) return {};
    j["historical"] = true;
    return {config_.prefix + "/" + p.terminal + "/" + p.subtopic, dump(j), 1, false, {}};
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
    if (edge_) {
        link_->subscribe(edge_->filters());
        births();
    } else {
        on_connected_json();
    }
    end_turn();  // what waited follows the births
    if (!ready_) {
        // Up: the broker connected and every terminal of the list added.
        ready_ = true;
        notifier_.ready(status_line());
    }
}

void Gateway::on_connected_json() {
    // Every terminal name under the prefix, so that a command for a name this
    // gateway does not serve is answered too: a prefix belongs to one gateway.
    // With redundancy they come on the role connection instead.
    if (!roles_) link_->subscribe({config_.prefix + "/+/cmd/+"});
    publish_status("online", link_->connects() > 1 ? "broker reconnected" : "started");
    for (Node &n : nodes_) publish_state(n);
}

std::string Gateway::status_payload(std::string_view state, std::string_view reason) const {
    json j{{"state", state}, {"reason", reason}, {"client_id", config_.broker.client_id}, {"ts", timestamp()}};
    if (state == "online") {
        j["terminals"] = nodes_.size();
        j["online"] = poller_.online();
        j["events"] = events_;
        j["commands"] = commands_;
        j["refused"] = refused_;
        j["behind"] = behind_;
        j["dropped"] = link_->dropped() + backlog_->dropped();
        j["queued"] = link_->queued() + backlog_->size();
    }
    return dump(j);
}

void Gateway::publish_status(std::string_view state, std::string_view reason) {
    status_mark_ = link_->dropped() + backlog_->dropped() + events_ + commands_ + refused_ + behind_ + poller_.online();
    link_->publish({status_topic(), status_payload(state, reason), kStateQos, true, {}});
}

void Gateway::on_message(const std::string &topic, std::string_view payload, std::string_view correlation_view) {
    if (edge_) return on_sparkplug(topic, payload);
    // <prefix>/<terminal>/cmd/<operation>; results, this gateway's own or
    // another's, are not commands.
    const std::string head = config_.prefix + "/";
    if (topic.rfind(head, 0) != 0) return;
    const std::string rest = topic.substr(head.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos || rest.compare(slash, 5, "/cmd/") != 0) return;
    const std::string name = rest.substr(0, slash);
    const std::string operation = rest.substr(slash + 5);
    if (operation == "result" || operation.find('/') != std::string::npos) return;
    const std::string correlation(correlation_view);
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

void Gateway::finish(Node &n, const Request &request, const std::string &correlation) {
    const CommandOutcome outcome = request.refused() ? request.refusal : run_command(n, request);
    ++(outcome.ok ? commands_ : refused_);
    if (outcome.ok && request.operation == "di") ++n.asked;
    if (outcome.ok) {
        metrics_.command(command_index(request.operation));
    } else {
        metrics_.refused();
    }
    log(outcome.ok ? Level::debug : Level::info,
        n.config.name + ": " + request.operation + (outcome.ok ? " sent" : " refused: " + outcome.error));
    link_->publish(result_message(n.config.name, request.operation, outcome, request.id, correlation));
}

void Gateway::refuse(const std::string &terminal, const std::string &operation, std::string error, std::string_view payload,
                     const std::string &correlation, bool busy) {
    ++refused_;
    metrics_.refused();
    if (busy) metrics_.busy();
    log(Level::info, terminal + ": " + operation + " refused: " + error);
    CommandOutcome outcome;
    outcome.error = std::move(error);
    link_->publish(result_message(terminal, operation, outcome, request_id(payload), correlation));
}

void Gateway::refuse_held(Node &n, const std::string &why, std::vector<Message> *into) {
    CommandOutcome outcome;
    outcome.error = why;
    for (const Held &h : n.held) {
        ++refused_;
        metrics_.refused();
        Message m = result_message(n.config.name, h.operation, outcome, request_id(h.payload), h.correlation);
        if (into != nullptr) {
            into->push_back(std::move(m));
        } else {
            link_->publish(std::move(m));
        }
    }
    n.held.clear();
}

Message Gateway::result_message(const std::string &terminal, const std::string &operation, const CommandOutcome &outcome,
                                const json &id, const std::string &correlation) const {
    json result{{"operation", operation}, {"terminal", terminal}, {"ok", outcome.ok}};
    if (!outcome.ok) result["error"] = outcome.error;
    if (!outcome.argument.empty()) result["argument"] = outcome.argument;
    if (!id.is_null()) result["id"] = id;
    result["ts"] = timestamp();
    return {config_.prefix + "/" + terminal + "/cmd/result", dump(result), kResultQos, false, correlation};
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
    ++behind_;
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
        if (!holding()) break;  // a standby speaks for no terminal
        if (!edge_) refuse_held(n, "the gateway is stopping; nothing sent", &last);
        if (edge_ && edge_->born() && n.born) last.push_back(edge_->device_death(n.config.name));
        n.state = "offline";
        n.reason = "gateway stopped";
        if (!edge_) last.push_back({n.base + "/state", state_payload(n.state, n.reason), kStateQos, true, {}});
    }
    last.push_back(edge_ ? edge_->death() : Message{status_topic(), status_payload("offline", "stopped"), kStateQos, true, {}});
    if (watchdog_ != 0) poller_.cancel(watchdog_);
    watchdog_ = 0;
    // Sparkplug: NDEATH, then a DISCONNECT that keeps the will (0x04), as
    // an edge node under MQTT 5 must end its session.
    link_->stop(last, flush_ms, edge_ != nullptr);
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
        next.metrics != config_.metrics ||
        next.terminal_reconnect_min_ms != config_.terminal_reconnect_min_ms ||
        next.terminal_reconnect_max_ms != config_.terminal_reconnect_max_ms) {
        log(Level::warning,
            "reload: broker, prefix, sparkplug, metrics and terminal_reconnect_* keep their values until the gateway restarts");
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
            if (edge_) edge_->forget(n.config.name);
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
