#include "gateway.hpp"


#include <algorithm>

#include "image_command.hpp"
#include "log.hpp"
#include "operations.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

constexpr int kStateQos = 0;   // republished whole on every connect
constexpr int kResultQos = 1;  // a lost result would leave its sender guessing

// A JSON member as an operation's argument. Integers and strings map as they
// are; a Bytes argument also takes {"base64": "..."} so that any byte value
// can be sent. Empty when the value suits none of that; `error` says why.
std::optional<ops::Value> argument_value(const ops::Argument &arg, const json &v, std::string &error) {
    const std::string name(arg.name);
    if (arg.kind == ops::Kind::Int) {
        if (v.is_number_integer()) {
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
                error = name + ": " + v.dump() + " is not in " + ops::range_text(arg);
                return std::nullopt;
            }
            return ops::Value(v.get<std::int64_t>());
        }
        error = name + ": must be an integer in " + ops::range_text(arg) + ", not " + dump(v);
        return std::nullopt;
    }
    if (v.is_string()) return ops::Value(v.get<std::string>());
    if (arg.kind == ops::Kind::Bytes && v.is_object() && v.size() == 1 && v.contains("base64") && v["base64"].is_string()) {
        std::string bytes;
        if (unbase64(v["base64"].get<std::string>(), bytes)) return ops::Value(std::move(bytes));
        error = name + ": the base64 text does not decode";
        return std::nullopt;
    }
    error = name + (arg.kind == ops::Kind::Bytes ? ": must be a string or {\"base64\": \"...\"}" : ": must be a string");
    return std::nullopt;
}

std::vector<std::string> operation_names() {
    std::vector<std::string> names;
    for (const ops::Operation &op : ops::operations()) names.emplace_back(op.name);
    return names;
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
    : config_(config), poller_(poller), metrics_(operation_names()) {
    for (const TerminalConfig &t : config_.terminals) {
        Node &n = nodes_.emplace_back();
        n.config = t;
        n.base = config_.prefix + "/" + t.name;
        n.state_payload = state_payload(n.state, n.reason);
        by_name_.emplace(t.name, &n);
        metrics_.terminal_added(n.state);
    }
    const Message will{status_topic(), status_payload("offline", "connection lost"), 1, true, {}};
    MqttLink::Callbacks callbacks;
    if (config_.sparkplug) {
        // NDEATH is the will, with the bdSeq of the session it ends.
        edge_ = std::make_unique<sparkplug::EdgeNode>(*config_.sparkplug);
        callbacks.will = [this] { return edge_->next_session(); };
    }
    callbacks.connected = [this] { on_connected(); };
    callbacks.message = [this](const std::string &topic, std::string_view payload, std::string_view correlation) {
        on_message(topic, payload, correlation);
    };
    callbacks.socket_changed = [this] { follow_socket(); };
    callbacks.lost = [this](const std::string &) { sync_broker_metrics(); };
    callbacks.sent = [this](const Message &m) {
        if (m.read_at != std::chrono::steady_clock::time_point{}) metrics_.published(std::chrono::steady_clock::now() - m.read_at);
    };
    link_ = std::make_unique<MqttLink>(config_.broker, will, std::move(callbacks));
}

Gateway::~Gateway() {
    if (watch_ != 0) poller_.unwatch(watch_);
    if (tick_ != 0) poller_.cancel(tick_);
    if (watchdog_ != 0) poller_.cancel(watchdog_);
}

std::string Gateway::status_topic() const { return config_.prefix + "/_gateway/" + config_.broker.client_id + "/status"; }

void Gateway::start() {
    poller_.on_state([this](const vq6120::StateChange &c) { on_state(c); });
    poller_.on_event([this](vq6120::TerminalId, void *user, vq6120::Event &e) { on_event(*static_cast<Node *>(user), e); });
    for (Node &n : nodes_) connect(n);
    log(Level::info, "serving " + std::to_string(nodes_.size()) + " terminals under " + config_.prefix + "/");
    status_due_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.status_interval_s);
    link_->start();
    schedule_tick();
    schedule_watchdog();
}

void Gateway::connect(Node &n) {
    vq6120::TerminalConfig tc;
    tc.endpoint = {n.config.address_n, n.config.port};
    tc.connect_limit = std::chrono::milliseconds(config_.connect_timeout_ms);
    tc.auto_report = static_cast<std::uint8_t>(n.config.auto_report);
    tc.host_alive_seconds = static_cast<std::uint8_t>(n.config.host_alive);
    tc.user = &n;
    n.id = poller_.add(tc);
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

// ---- The broker's socket in the Poller's loop ----------------------------

void Gateway::follow_socket() {
    const int fd = link_->socket();
    const bool write = link_->wants_write();
    if (fd != watched_fd_) {
        // The old descriptor is closed already or about to be: forget it
        // before a new socket can take its number.
        if (watch_ != 0) poller_.unwatch(watch_);
        // A lost connection brings the next attempt nearer than the next
        // keepalive tick.
        if (fd < 0 && tick_ != 0 && !stopped_) {
            poller_.cancel(tick_);
            schedule_tick();
        }
        watch_ = 0;
        watched_fd_ = fd;
        if (fd >= 0) {
            watch_ = poller_.watch(fd, true, write, [this](bool readable, bool writable) {
                if (readable) link_->readable();
                if (writable) link_->writable();
            });
        }
    } else if (watch_ != 0 && write != watched_write_) {
        poller_.rewatch(watch_, true, write);
    }
    watched_write_ = write;
}

void Gateway::schedule_tick() {
    tick_ = poller_.after(std::chrono::milliseconds(link_->next_tick_ms()), [this] {
        tick_ = 0;
        if (stopped_) return;
        link_->tick();
        sync_broker_metrics();
        if (ready_) notifier_.status(status_line());
        const auto now = std::chrono::steady_clock::now();
        if (now >= status_due_) {
            status_due_ = now + std::chrono::seconds(config_.status_interval_s);
            const std::uint64_t mark = link_->dropped() + events_ + commands_ + refused_ + behind_ + poller_.online();
            if (mark != status_mark_ && link_->connected() && !edge_) publish_status("online", "running");
        }
        schedule_tick();
    });
}

// ---- Terminals to the broker ---------------------------------------------

void Gateway::on_state(const vq6120::StateChange &change) {
    if (stopped_) return;
    Node &n = *static_cast<Node *>(change.user);
    auto next = state_after({n.state, n.reason}, change);
    if (!next) return;
    show(n, std::move(next->state), std::move(next->reason));
}

void Gateway::show(Node &n, std::string state, std::string reason) {
    metrics_.terminal_shown(n.state, state, reason);
    const std::string was = n.state;
    n.state = std::move(state);
    n.reason = std::move(reason);
    n.state_payload = state_payload(n.state, n.reason);  // stamped with the time of the change
    log(Level::info, n.config.name + ": " + n.state + " (" + n.reason + ")");
    if (edge_) {
        announce(n, was);
    } else {
        publish_state(n);
    }
}

void Gateway::publish_state(Node &n) {
    // While the broker is away the state is not queued: it is republished,
    // current, when the broker comes back.
    if (link_->connected()) link_->publish({n.base + "/state", n.state_payload, kStateQos, true, {}});
}

void Gateway::on_event(Node &n, const vq6120::Event &event) {
    const auto read_at = std::chrono::steady_clock::now();
    if (edge_) {
        // While the broker is away the values only wait for the next birth:
        // after a reconnect NBIRTH starts a new sequence.
        Message m = edge_->device_data(n.config.name, event);
        ++events_;
        metrics_.event(event_payload(event).subtopic);
        m.read_at = read_at;
        if (link_->connected()) link_->publish(std::move(m));
        return;
    }
    Publication p = event_payload(event);
    ++events_;
    metrics_.event(p.subtopic);
    link_->publish({n.base + "/" + p.subtopic, std::move(p.payload), config_.broker.event_qos, false, {}, read_at});
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
    if (!ready_) {
        // Up: the broker connected and every terminal of the list added.
        ready_ = true;
        notifier_.ready(status_line());
    }
}

void Gateway::on_connected_json() {
    std::vector<std::string> filters;
    filters.reserve(nodes_.size());
    for (const Node &n : nodes_) filters.push_back(n.base + "/cmd/+");
    link_->subscribe(filters);
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
        j["dropped"] = link_->dropped();
        j["queued"] = link_->queued();
    }
    return dump(j);
}

void Gateway::publish_status(std::string_view state, std::string_view reason) {
    status_mark_ = link_->dropped() + events_ + commands_ + refused_ + behind_ + poller_.online();
    link_->publish({status_topic(), status_payload(state, reason), kStateQos, true, {}});
}

void Gateway::on_message(const std::string &topic, std::string_view payload, std::string_view correlation) {
    if (edge_) return on_sparkplug(topic, payload);
    // <prefix>/<terminal>/cmd/<operation>; the subscriptions name only this
    // gateway's terminals, so anything else is not for it.
    const std::string head = config_.prefix + "/";
    if (topic.rfind(head, 0) != 0) return;
    const std::string rest = topic.substr(head.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos || rest.compare(slash, 5, "/cmd/") != 0) return;
    const auto found = by_name_.find(rest.substr(0, slash));
    const std::string operation = rest.substr(slash + 5);
    if (found == by_name_.end() || operation == "result" || operation.find('/') != std::string::npos) return;
    Node &n = *found->second;

    json request = json::object();
    CommandOutcome outcome;
    if (!payload.empty()) {
        request = json::parse(payload, nullptr, false);
    }
    if (request.is_discarded()) {
        outcome.error = "the payload is not JSON";
    } else if (!request.is_object()) {
        outcome.error = "the payload must be a JSON object of arguments";
    } else {
        outcome = run_command(n, operation, request);
    }
    ++(outcome.ok ? commands_ : refused_);
    if (outcome.ok) {
        metrics_.command(static_cast<std::size_t>(ops::find(operation) - ops::operations().data()));
    } else {
        metrics_.refused();
    }
    log(outcome.ok ? Level::debug : Level::info,
        n.config.name + ": " + operation + (outcome.ok ? " sent" : " refused: " + outcome.error));

    json result{{"operation", operation}, {"terminal", n.config.name}, {"ok", outcome.ok}};
    if (!outcome.ok) result["error"] = outcome.error;
    if (!outcome.argument.empty()) result["argument"] = outcome.argument;
    if (request.is_object() && request.contains("id")) result["id"] = request["id"];
    result["ts"] = timestamp();
    link_->publish({n.base + "/cmd/result", dump(result), kResultQos, false, std::string(correlation)});
}

CommandOutcome Gateway::run_command(Node &n, std::string_view operation, const json &request) {
    CommandOutcome out;
    if (operation == kImageOperation || operation == kFontTextOperation) {
        ImageCommand image;
        const bool parsed = operation == kImageOperation ? parse_image(request, image, out.argument, out.error)
                                                         : parse_font_text(request, image, out.argument, out.error);
        if (!parsed) return out;
        vq6120::Terminal *t = ready_terminal(n, out);
        if (t == nullptr) return out;
        out.ok = send_image(t->handle(), image);
        if (!out.ok && VQ6120Ex_LastRefusal(t->handle()) == VQ6120_REFUSED_QUEUE_FULL) return behind(n, out);
        if (!out.ok) out.error = "not sent: the connection to the terminal failed";
        return out;
    }
    const ops::Operation *op = ops::find(operation);
    if (op == nullptr) {
        out.error = "unknown operation '" + std::string(operation) + "'";
        return out;
    }
    ops::Arguments args;
    for (const auto &item : request.items()) {
        const std::string &key = item.key();
        const json &value = item.value();
        if (key == "id") continue;  // the caller's own tag, echoed in the result
        const auto arg = std::find_if(op->arguments.begin(), op->arguments.end(),
                                      [&](const ops::Argument &a) { return a.name == key; });
        if (arg == op->arguments.end()) {
            out.argument = key;
            out.error = key + ": not an argument of " + std::string(operation);
            return out;
        }
        auto v = argument_value(*arg, value, out.error);
        if (!v) {
            out.argument = key;
            return out;
        }
        args.emplace(key, std::move(*v));
    }
    if (const ops::Result checked = ops::check(*op, args); !checked) {
        out.argument = checked.argument;
        out.error = checked.error;
        return out;
    }
    vq6120::Terminal *t = ready_terminal(n, out);
    if (t == nullptr) return out;
    const ops::Result r = ops::invoke(*op, t->handle(), args);
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
    std::vector<Message> last;
    for (Node &n : nodes_) {
        if (edge_ && n.state == "online") last.push_back(edge_->device_death(n.config.name));
        n.state = "offline";
        n.reason = "gateway stopped";
        if (!edge_) last.push_back({n.base + "/state", state_payload(n.state, n.reason), kStateQos, true, {}});
    }
    last.push_back(edge_ ? edge_->death() : Message{status_topic(), status_payload("offline", "stopped"), kStateQos, true, {}});
    if (watch_ != 0) poller_.unwatch(watch_);
    watch_ = 0;
    if (tick_ != 0) poller_.cancel(tick_);
    tick_ = 0;
    if (watchdog_ != 0) poller_.cancel(watchdog_);
    watchdog_ = 0;
    link_->stop(last, flush_ms);
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
        next.terminal_reconnect_min_ms != config_.terminal_reconnect_min_ms ||
        next.terminal_reconnect_max_ms != config_.terminal_reconnect_max_ms) {
        log(Level::warning, "reload: broker, prefix, sparkplug and terminal_reconnect_* keep their values until the gateway restarts");
    }
    config_.status_interval_s = next.status_interval_s;
    config_.connect_timeout_ms = next.connect_timeout_ms;  // for connections made from now on

    std::unordered_map<std::string, const TerminalConfig *> wanted;
    for (const TerminalConfig &t : next.terminals) wanted.emplace(t.name, &t);
    std::vector<std::string> gone_filters, new_filters;
    std::size_t removed = 0, changed = 0, added = 0;
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        Node &n = *it;
        const auto w = wanted.find(n.config.name);
        if (w == wanted.end()) {
            poller_.remove(n.id);
            show(n, "offline", "removed from the configuration");
            metrics_.terminal_removed(n.state);
            gone_filters.push_back(n.base + "/cmd/+");
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
        Node &n = nodes_.emplace_back();
        n.config = t;
        n.base = config_.prefix + "/" + t.name;
        by_name_.emplace(t.name, &n);
        metrics_.terminal_added(n.state);
        show(n, "connecting", "added");
        connect(n);
        new_filters.push_back(n.base + "/cmd/+");
        ++added;
    }
    config_.terminals = next.terminals;
    if (link_->connected() && !edge_) {
        link_->unsubscribe(gone_filters);
        link_->subscribe(new_filters);
    }
    metrics_.reloaded(true);
    log(Level::info, "reloaded " + path + ": " + std::to_string(added) + " added, " + std::to_string(removed) + " removed, " +
                         std::to_string(changed) + " changed, " + std::to_string(nodes_.size() - added - changed) +
                         " unchanged");
    notifier_.ready(status_line());
    return true;
}

}  // namespace vq6120::gateway
