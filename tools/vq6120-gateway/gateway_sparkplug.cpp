// The Gateway in Sparkplug B mode: births on every broker connect and on
// request, a device's birth and death with its terminal's state, and NCMD /
// DCMD carried out through the operation table the JSON commands use.
#include "gateway.hpp"
#include "log.hpp"
#include "operations.hpp"
#include "payloads.hpp"

namespace vq6120::gateway {

void Gateway::births() {
    // With a primary host configured, only once it is online in this session.
    if (!edge_->host_online()) {
        log(Level::info, "births wait for primary host '" + edge_->host().id() + "' to be online");
        return;
    }
    link_->publish(edge_->node_birth());
    for (Node &n : nodes_) {
        // One still waiting for its answers is born when they come.
        if (n.state == "online" && n.birth_wait == 0) device_birth(n);
    }
    end_turn();  // what waited follows the births, historical
}

void Gateway::device_birth(Node &n) {
    if (n.birth_wait != 0) poller_.cancel(n.birth_wait);
    n.birth_wait = 0;
    // Births only reach a connected broker; after a reconnect births() says
    // where everything stands.
    if (!publishing()) return;
    link_->publish(edge_->device_birth(n.config.name));
    n.born = true;
}

void Gateway::announce(Node &n, const std::string &was) {
    if (was == n.state) return;
    if (n.state == "online") {
        // The model and inputs were asked for on connect: the DBIRTH waits
        // for both, or connect_timeout_ms, and holds what came.
        n.birth_wait = poller_.after(std::chrono::milliseconds(config_.connect_timeout_ms), [this, &n] {
            n.birth_wait = 0;
            device_birth(n);
        });
    } else if (was == "online") {
        if (n.birth_wait != 0) poller_.cancel(n.birth_wait);
        n.birth_wait = 0;
        // At the loss itself, not at the next attempt.
        if (n.born && publishing()) link_->publish(edge_->device_death(n.config.name));
        n.born = false;
        edge_->forget(n.config.name);
    }
}

void Gateway::on_event_sparkplug(Node &n, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) {
    const bool answer = std::holds_alternative<vq6120::DigitalInputs>(event) || std::holds_alternative<vq6120::ModelName>(event);
    // A key or serial data does not wait: the birth goes first, with what
    // is known.
    if (n.birth_wait != 0 && !answer) device_birth(n);
    std::vector<sparkplug::Metric> changed = edge_->take(n.config.name, event);
    if (changed.empty()) {
        metrics_.unchanged();
        return;
    }
    ++events_;
    metrics_.event(event_payload(event).subtopic);
    if (n.birth_wait != 0) {
        if (edge_->answered(n.config.name)) device_birth(n);
        return;
    }
    // What changed goes now, or waits with its time and goes, historical,
    // after the next births; behind waiting events, an event waits too.
    if (!n.born || !publishing() || !backlog_->empty()) {
        return keep({0, n.config.name, {}, sparkplug::encode(sparkplug::EdgeNode::values(std::move(changed)))});
    }
    Message m = edge_->device_data(n.config.name, std::move(changed));
    m.read_at = read_at;
    link_->publish(std::move(m));
}

void Gateway::on_host_state(sparkplug::EdgeNode &edge, PrimaryHost::Change change, const std::string &why) {
    const std::string host = "primary host '" + edge.host().id() + "'";
    metrics_.primary_host(edge.host_online());
    switch (change) {
    case PrimaryHost::Change::refused:
        metrics_.host_state_refused();
        log(Level::warning, host + ": STATE refused: " + why);
        break;
    case PrimaryHost::Change::stale:
        log(Level::info, host + ": STATE ignored: " + why);
        break;
    case PrimaryHost::Change::none:
        log(Level::info, host + ": " + why);
        break;
    case PrimaryHost::Change::online:
        log(Level::info, host + ": " + why + ": births");
        births();
        break;
    case PrimaryHost::Change::offline:
        // NDEATH, DISCONNECT, and a new session that waits for the host.
        log(Level::warning, host + ": " + why + ": NDEATH, disconnecting to start over");
        if (edge.born()) {
            link_->leave(edge.death());
            edge.left();
        }
        break;
    }
}

void Gateway::on_sparkplug(const std::string &topic, std::string_view payload) {
    std::string why;
    if (const auto change = edge_->host_state(topic, payload, why)) return on_host_state(*edge_, *change, why);
    const auto command = edge_->command(topic, payload);
    if (!command) return;
    const std::string who = command->device.empty() ? "node" : command->device;
    for (const std::string &why : command->refused) {
        ++refused_;
        metrics_.refused();
        log(Level::info, who + ": command refused: " + why);
    }
    if (command->rebirth) {
        log(Level::info, "rebirth requested");
        births();
    }
    if (command->writes.empty()) return;
    const auto found = by_name_.find(command->device);
    if (found == by_name_.end()) {
        ++refused_;
        metrics_.refused();
        log(Level::info, "DCMD for '" + command->device + "', which is not a terminal of this gateway");
        return;
    }
    Node &n = *found->second;
    // One DDATA for the whole DCMD, with every value it changed.
    std::vector<sparkplug::Metric> changed;
    for (const sparkplug::Write &write : command->writes) {
        const Request request = parse_arguments(write.operation, write.arguments);
        const CommandOutcome outcome = request.refused() ? request.refusal : run_command(n, request);
        if (outcome.ok) {
            ++commands_;
            metrics_.command(command_index(write.operation));
            for (sparkplug::Metric &m : edge_->take(n.config.name, write.metrics)) changed.push_back(std::move(m));
        } else {
            ++refused_;
            metrics_.refused();
            log(Level::info, n.config.name + ": " + write.metrics.front().name + " refused: " + outcome.error);
        }
    }
    if (!changed.empty() && n.born && publishing()) link_->publish(edge_->device_data(n.config.name, std::move(changed)));
}

}  // namespace vq6120::gateway
