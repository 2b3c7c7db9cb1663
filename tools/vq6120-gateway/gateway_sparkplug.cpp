// The Gateway in Sparkplug B mode: births on every broker connect and on
// request, a device's birth and death with its terminal's state, and NCMD /
// DCMD carried out through the operation table the JSON commands use.
#include "gateway.hpp"
#include "log.hpp"
#include "operations.hpp"

namespace vq6120::gateway {

void Gateway::births() {
    link_->publish(edge_->node_birth());
    for (Node &n : nodes_) {
        if (n.state == "online") link_->publish(edge_->device_birth(n.config.name, n.state));
    }
}

void Gateway::announce(Node &n, const std::string &was) {
    // Births and deaths go only while publishing (after the node's birth);
    // the next births say where everything stands.
    if (!publishing() || was == n.state) return;
    if (n.state == "online") {
        link_->publish(edge_->device_birth(n.config.name, n.state));
    } else if (was == "online") {
        link_->publish(edge_->device_death(n.config.name));
    }
}

void Gateway::on_sparkplug(const std::string &topic, std::string_view payload) {
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
