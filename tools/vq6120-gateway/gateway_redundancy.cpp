// The Gateway as one of an active/standby pair: its role on a connection of
// its own, the terminals held or released as the role machine says, and a
// standby that speaks for no terminal.
//
// Why a second broker connection: MQTT gives each connection one will. The
// main connection's will is the gateway's status (and, for an edge node,
// its NDEATH); the role needs a will of its own, "gone", that the broker
// publishes the moment this process stops being reachable, whatever the
// main connection does. The role connection (client id "<client_id>-role")
// carries nothing else, so it is cheap, and it is what the role machine
// judges the broker by.
#include "gateway.hpp"
#include "log.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

namespace {
constexpr int kRoleQos = 1;  // retained; a lost claim would leave the pair undecided
}

std::string Gateway::role_topic(const std::string &node) const { return config_.prefix + "/_gateway/" + node + "/role"; }

void Gateway::start_roles() {
    const RedundancyConfig &r = *config_.redundancy;
    roles_ = std::make_unique<RoleMachine>(r.node, std::chrono::milliseconds(r.settle_ms), std::chrono::milliseconds(r.fence_ms));
    hold_ = Hold::none;
    metrics_.role(false);
    BrokerConfig broker = config_.broker;
    broker.client_id += "-role";
    MqttLink::Callbacks callbacks;
    callbacks.connected = [this] {
        // The commands too: on this connection they come in one order with
        // the roles, which decides who answers each (RoleMachine::answers).
        // Our own role comes back: a claim is confirmed by its echo.
        role_link_->subscribe({role_topic("+"), config_.prefix + "/+/cmd/+"}, false);
        roles_->broker_up(std::chrono::steady_clock::now());
        roles_changed();
    };
    callbacks.lost = [this](const std::string &) {
        roles_->broker_down(std::chrono::steady_clock::now());
        roles_changed();
    };
    callbacks.message = [this](const std::string &topic, std::string_view payload, std::string_view correlation) {
        if (topic.rfind(config_.prefix + "/_gateway/", 0) == 0) return on_role_message(topic, payload);
        publisher_->message(topic, payload, correlation);
    };
    role_link_ = std::make_unique<MqttLink>(broker, Message{role_topic(r.node), "gone", kRoleQos, true, {}}, std::move(callbacks),
                                            poller_);
    for (Node &n : nodes_) release(n, "standby");
}

void Gateway::on_role_message(const std::string &topic, std::string_view payload) {
    // <prefix>/_gateway/<node>/role; the node is one topic level.
    const std::string head = config_.prefix + "/_gateway/";
    if (topic.rfind(head, 0) != 0 || topic.size() < head.size() + 6 || topic.compare(topic.size() - 5, 5, "/role") != 0) return;
    const std::string node = topic.substr(head.size(), topic.size() - head.size() - 5);
    if (!valid_topic_level(node) || payload.size() > 16) return;
    roles_->message(node, payload, std::chrono::steady_clock::now());
    roles_changed();
}

void Gateway::roles_changed() {
    if (stopped_) return;
    const auto now = std::chrono::steady_clock::now();
    roles_->tick(now);
    if (const auto publish = roles_->take_publish()) {
        log(Level::info, std::string("role: ") + std::string(role_name(*publish)) +
                             (*publish == Role::active ? " claimed" : roles_->active_peer().empty() ? "" : ", '" + roles_->active_peer() + "' is active"));
        role_link_->publish({role_topic(config_.redundancy->node), std::string(role_name(*publish)), kRoleQos, true, {}});
    }
    if (roles_->hold() != hold_) apply_hold(roles_->hold());
    metrics_.role(roles_->role() == Role::active);
    if (role_timer_ != 0) poller_.cancel(role_timer_);
    role_timer_ = 0;
    if (const auto at = roles_->deadline()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*at - now);
        role_timer_ = poller_.after(std::max(wait, std::chrono::milliseconds(0)), [this] {
            role_timer_ = 0;
            roles_changed();
        });
    }
}

void Gateway::apply_hold(Hold hold) {
    const Hold was = std::exchange(hold_, hold);
    log(Level::info, hold == Hold::all    ? "role: active, connecting every terminal"
                     : hold == Hold::keep ? "role: without the broker, keeping the terminals held, connecting none"
                     : was == Hold::none  ? "role: standby"
                                          : "role: standby, releasing every terminal");
    for (Node &n : nodes_) {
        if (hold == Hold::all && n.id == 0) {
            connect(n);
        } else if (hold == Hold::all) {
            publisher_->state_changed(n, n.state);  // kept while it said nothing: current again
        } else if (hold == Hold::none || (hold == Hold::keep && poller_.state(n.id) != vq6120::State::Online)) {
            if (n.id != 0) release(n, hold == Hold::none ? "released: standby" : "released: no broker");
        }
    }
}

void Gateway::release(Node &n, const std::string &why) {
    if (n.id != 0) poller_.remove(n.id);
    n.id = 0;
    refuse_held(n, "this gateway is no longer active; nothing sent");
    if (n.birth_wait != 0) poller_.cancel(n.birth_wait);
    n.birth_wait = 0;
    n.inputs.reset();
    n.asked = 0;
    n.answered = false;
    metrics_.terminal_shown(n.state, "offline", why);
    n.state = "offline";
    n.reason = why;
    n.state_payload = state_payload(n.state, n.reason);
}

bool Gateway::on_state_redundant(Node &n, const vq6120::StateChange &change) {
    using vq6120::State;
    if (change.state == State::Online) {
        // Shown online at its first frame: the answers asked for now.
        n.answered = false;
        ask(n);
        return true;
    }
    if (change.state != State::Lost && change.state != State::Waiting) return false;
    if (hold_ != Hold::all) {
        // Without the broker, a terminal lost stays lost: it may be the
        // other gateway's by now.
        release(n, "released: no broker");
        return true;
    }
    if (n.state == "connecting" && change.reason == vq6120::reason::kClosed) {
        // Accepted and closed before a frame: another host holds it. Tried
        // again with the backoff, and shown as the take-over it is.
        if (n.reason != "held by another host") show(n, "connecting", "held by another host");
        return true;
    }
    return false;
}

bool Gateway::standby_command(const std::string &name, const std::string &operation, std::string_view payload,
                              const std::string &correlation) {
    if (roles_->answers()) return false;
    // The active answers; with none known (the active gone, this one
    // claiming) the standby says so, so that no command goes unanswered.
    // While settling the retained roles are still coming.
    if (roles_->active_peer().empty() && !roles_->settling()) refuse(name, operation, "no active gateway", payload, correlation);
    return true;
}

void Gateway::stop_roles(int flush_ms) {
    if (!role_link_) return;
    if (role_timer_ != 0) poller_.cancel(role_timer_);
    role_timer_ = 0;
    role_link_->stop({{role_topic(config_.redundancy->node), "gone", kRoleQos, true, {}}}, flush_ms);
}

}  // namespace vq6120::gateway
