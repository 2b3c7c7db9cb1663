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

std::string_view state_name(vq6120::State s) {
    return s == vq6120::State::Online ? "online" : s == vq6120::State::Connecting ? "connecting" : "offline";
}

}  // namespace

vq6120::Backoff backoff_for(const Config &config) {
    vq6120::Backoff b;
    b.initial = std::chrono::milliseconds(config.terminal_reconnect_min_ms);
    b.maximum = std::chrono::milliseconds(config.terminal_reconnect_max_ms);
    return b;
}

Gateway::Gateway(const Config &config, vq6120::Poller &poller) : config_(config), poller_(poller) {
    nodes_.reserve(config_.terminals.size());
    for (const TerminalConfig &t : config_.terminals) {
        Node &n = nodes_.emplace_back();
        n.config = t;
        n.base = config_.prefix + "/" + t.name;
        n.state_payload = state_payload(n.state, n.reason);
        by_name_.emplace(t.name, &n);
    }
    const Message will{status_topic(), status_payload("offline", "connection lost"), 1, true, {}};
    MqttLink::Callbacks callbacks;
    callbacks.connected = [this] { on_connected(); };
    callbacks.message = [this](const std::string &topic, std::string_view payload, std::string_view correlation) {
        on_message(topic, payload, correlation);
    };
    callbacks.socket_changed = [this] { follow_socket(); };
    link_ = std::make_unique<MqttLink>(config_.broker, will, std::move(callbacks));
}

Gateway::~Gateway() {
    if (watch_ != 0) poller_.unwatch(watch_);
    if (tick_ != 0) poller_.cancel(tick_);
}

std::string Gateway::status_topic() const { return config_.prefix + "/_gateway/" + config_.broker.client_id + "/status"; }

void Gateway::start() {
    poller_.on_state([this](const vq6120::StateChange &c) { on_state(c); });
    poller_.on_event([this](vq6120::TerminalId, void *user, vq6120::Event &e) { on_event(*static_cast<Node *>(user), e); });
    for (Node &n : nodes_) {
        vq6120::TerminalConfig tc;
        tc.endpoint = {n.config.address_n, n.config.port};
        tc.connect_limit = std::chrono::milliseconds(config_.connect_timeout_ms);
        tc.auto_report = static_cast<std::uint8_t>(n.config.auto_report);
        tc.host_alive_seconds = static_cast<std::uint8_t>(n.config.host_alive);
        tc.user = &n;
        n.id = poller_.add(tc);
    }
    log(Level::info, "serving " + std::to_string(nodes_.size()) + " terminals under " + config_.prefix + "/");
    status_due_ = std::chrono::steady_clock::now() + std::chrono::seconds(config_.status_interval_s);
    link_->start();
    schedule_tick();
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
        const auto now = std::chrono::steady_clock::now();
        if (now >= status_due_) {
            status_due_ = now + std::chrono::seconds(config_.status_interval_s);
            const std::uint64_t mark = link_->dropped() + events_ + commands_ + refused_ + behind_ + poller_.online();
            if (mark != status_mark_ && link_->connected()) publish_status("online", "running");
        }
        schedule_tick();
    });
}

// ---- Terminals to the broker ---------------------------------------------

void Gateway::on_state(const vq6120::StateChange &change) {
    if (stopped_) return;
    Node &n = *static_cast<Node *>(change.user);
    std::string state(state_name(change.state));
    std::string reason = !change.reason.empty()                      ? std::string(change.reason)
                         : change.state == vq6120::State::Online     ? "connected"
                         : change.state == vq6120::State::Connecting ? "attempt " + std::to_string(change.attempt)
                                                                     : n.reason;
    if (state == n.state && reason == n.reason) return;  // Lost then Waiting: one offline
    n.state = std::move(state);
    n.reason = std::move(reason);
    n.state_payload = state_payload(n.state, n.reason);  // stamped with the time of the change
    log(Level::info, n.config.name + ": " + n.state + " (" + n.reason + ")");
    publish_state(n);
}

void Gateway::publish_state(Node &n) {
    // While the broker is away the state is not queued: it is republished,
    // current, when the broker comes back.
    if (link_->connected()) link_->publish({n.base + "/state", n.state_payload, kStateQos, true, {}});
}

void Gateway::on_event(Node &n, const vq6120::Event &event) {
    Publication p = event_payload(event);
    ++events_;
    link_->publish({n.base + "/" + p.subtopic, std::move(p.payload), config_.broker.event_qos, false, {}});
}

// ---- The broker to terminals ---------------------------------------------

void Gateway::on_connected() {
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
    if (operation == kImageOperation) {
        ImageCommand image;
        if (!parse_image(request, image, out.argument, out.error)) return out;
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
    std::vector<Message> last;
    for (Node &n : nodes_) {
        n.state = "offline";
        n.reason = "gateway stopped";
        last.push_back({n.base + "/state", state_payload(n.state, n.reason), kStateQos, true, {}});
    }
    last.push_back({status_topic(), status_payload("offline", "stopped"), kStateQos, true, {}});
    if (watch_ != 0) poller_.unwatch(watch_);
    watch_ = 0;
    if (tick_ != 0) poller_.cancel(tick_);
    tick_ = 0;
    link_->stop(last, flush_ms);
    log(Level::info, "stopped");
    poller_.remove_all();
    poller_.stop();
}

}  // namespace vq6120::gateway
