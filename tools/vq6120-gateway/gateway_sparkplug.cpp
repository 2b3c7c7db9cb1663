// The Gateway in Sparkplug B mode: births on every broker connect and on
// request, a device's birth and death with its terminal's state, and NCMD /
// DCMD carried out through the operation table the JSON commands use.
#include "gateway.hpp"
#include "log.hpp"
#include "operations.hpp"

namespace vq6120::gateway {

void Gateway::births() {
    // With a primary host configured, only once it is online in this session.
    if (!edge_->host_online()) {
        log(Level::info, "births wait for primary host '" + edge_->host().id() + "' to be online");
        return;
    }
    link_->publish(edge_->node_birth());
    for (Node &n : nodes_) {
        if (n.state == "online") link_->publish(edge_->device_birth(n.config.name, n.state));
    }
}

void Gateway::announce(Node &n, const std::string &was) {
    // Births and deaths only reach a connected broker; after a reconnect the
    // births say where everything stands.
    if (!link_->connected() || !edge_->born() || was == n.state) return;
    if (n.state == "online") {
        link_->publish(edge_->device_birth(n.config.name, n.state));
    } else if (was == "online") {
        link_->publish(edge_->device_death(n.config.name));
    }
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
    for (const auto &[metric, write] : command->writes) {
        const Request request = parse_arguments(write.operation, write.arguments);
        const CommandOutcome outcome = request.refused() ? request.refusal : run_command(n, request);
        if (outcome.ok) {
            ++commands_;
            metrics_.command(command_index(write.operation));
            link_->publish(edge_->written(n.config.name, metric));
        } else {
            ++refused_;
            metrics_.refused();
            log(Level::info, n.config.name + ": " + metric.name + " refused: " + outcome.error);
        }
    }
}

}  // namespace vq6120::gateway
