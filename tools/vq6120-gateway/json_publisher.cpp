#include "json_publisher.hpp"

#include <nlohmann/json.hpp>

#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

constexpr int kStateQos = 0;   // republished whole on every connect
constexpr int kResultQos = 1;  // a lost result would leave its sender guessing

}  // namespace

JsonPublisher::JsonPublisher(Surroundings &gateway)
    : gateway_(gateway),
      will_{status_topic(), status_payload("offline", "connection lost"), 1, true, {}},
      status_due_(std::chrono::steady_clock::now() + std::chrono::seconds(gateway.config().status_interval_s)) {}

std::string JsonPublisher::describe() const { return "under " + gateway_.config().prefix + "/"; }

Message JsonPublisher::will(bool) { return will_; }

std::string JsonPublisher::status_topic() const {
    return gateway_.config().prefix + "/_gateway/" + gateway_.config().broker.client_id + "/status";
}

void JsonPublisher::connected() {
    // Every terminal name under the prefix, so that a command for a name this
    // gateway does not serve is answered too: a prefix belongs to one gateway.
    MqttLink &link = gateway_.link();
    // A pair takes them on its role connection instead (gateway_redundancy.cpp).
    if (!gateway_.config().redundancy) link.subscribe({gateway_.config().prefix + "/+/cmd/+"});
    publish_status("online", link.connects() > 1 ? "broker reconnected" : "started");
    for (Node &n : gateway_.nodes()) publish_state(n);
}

void JsonPublisher::ticked() {
    const auto now = std::chrono::steady_clock::now();
    if (now < status_due_) return;
    status_due_ = now + std::chrono::seconds(gateway_.config().status_interval_s);
    if (status_mark() != status_mark_ && gateway_.link().connected()) publish_status("online", "running");
}

std::uint64_t JsonPublisher::status_mark() const {
    Surroundings &g = gateway_;
    const Metrics &m = g.counters();
    return g.link().dropped() + g.backlog().dropped() + m.events_total() + m.commands_total() + m.refused_total() +
           m.behind_total() + g.poller().online();
}

std::string JsonPublisher::status_payload(std::string_view state, std::string_view reason) const {
    Surroundings &g = gateway_;
    json j{{"state", state}, {"reason", reason}, {"client_id", g.config().broker.client_id}, {"ts", timestamp()}};
    if (state == "online") {
        const Metrics &m = g.counters();
        j["terminals"] = g.nodes().size();
        j["online"] = g.poller().online();
        j["events"] = m.events_total();
        j["commands"] = m.commands_total();
        j["refused"] = m.refused_total();
        j["behind"] = m.behind_total();
        j["dropped"] = g.link().dropped() + g.backlog().dropped();
        j["queued"] = g.link().queued() + g.backlog().size();
    }
    return dump(j);
}

void JsonPublisher::publish_status(std::string_view state, std::string_view reason) {
    status_mark_ = status_mark();
    gateway_.link().publish({status_topic(), status_payload(state, reason), kStateQos, true, {}});
}

void JsonPublisher::publish_state(Node &n) {
    // While the broker is away the state is not queued: it is republished,
    // current, when the broker comes back. A standby speaks for no terminal.
    if (gateway_.link().connected() && gateway_.holding()) gateway_.link().publish({n.base + "/state", n.state_payload, kStateQos, true, {}});
}

void JsonPublisher::state_changed(Node &n, const std::string &) { publish_state(n); }

bool JsonPublisher::event(Node &n, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) {
    // Inputs by exception: an auto report that says what the last one said
    // is a sign of life, not news. A "di" command's answer goes out anyway.
    if (const auto *inputs = std::get_if<vq6120::DigitalInputs>(&event)) {
        if (n.inputs == *inputs) {
            if (n.asked == 0) return false;
            --n.asked;
        }
        n.inputs = *inputs;
    }
    Publication p = event_payload(event);
    // Behind waiting events, an event waits too: order per terminal holds.
    if (!gateway_.publishing() || !gateway_.backlog().empty()) {
        gateway_.keep({0, n.config.name, std::move(p.subtopic), std::move(p.payload)});
    } else {
        gateway_.link().publish(
            {n.base + "/" + p.subtopic, std::move(p.payload), gateway_.config().broker.event_qos, false, {}, read_at});
    }
    return true;
}

void JsonPublisher::message(const std::string &topic, std::string_view payload, std::string_view correlation) {
    // <prefix>/<terminal>/cmd/<operation>; results, this gateway's own or
    // another's, are not commands.
    const std::string head = gateway_.config().prefix + "/";
    if (topic.rfind(head, 0) != 0) return;
    const std::string rest = topic.substr(head.size());
    const auto slash = rest.find('/');
    if (slash == std::string::npos || rest.compare(slash, 5, "/cmd/") != 0) return;
    const std::string operation = rest.substr(slash + 5);
    if (operation == "result" || operation.find('/') != std::string::npos) return;
    gateway_.command(rest.substr(0, slash), operation, payload, std::string(correlation));
}

std::optional<Message> JsonPublisher::result(const std::string &terminal, const std::string &operation,
                                             const CommandOutcome &outcome, const json &id,
                                             const std::string &correlation) const {
    json result{{"operation", operation}, {"terminal", terminal}, {"ok", outcome.ok}};
    if (!outcome.ok) result["error"] = outcome.error;
    if (!outcome.argument.empty()) result["argument"] = outcome.argument;
    if (!id.is_null()) result["id"] = id;
    result["ts"] = timestamp();
    return Message{gateway_.config().prefix + "/" + terminal + "/cmd/result", dump(result), kResultQos, false, correlation};
}

Message JsonPublisher::historical(const Pending &p) {
    json j = json::parse(p.payload, nullptr, false);
    if (!j.is_object()) return {};
    j["historical"] = true;
    return {gateway_.config().prefix + "/" + p.terminal + "/" + p.subtopic, dump(j), 1, false, {}};
}

bool JsonPublisher::stopping(std::vector<Message> &last) {
    for (Node &n : gateway_.nodes()) {
        if (gateway_.holding()) last.push_back({n.base + "/state", n.state_payload, kStateQos, true, {}});
    }
    last.push_back({status_topic(), status_payload("offline", "stopped"), kStateQos, true, {}});
    return false;
}

}  // namespace vq6120::gateway
