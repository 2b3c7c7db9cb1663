// Sparkplug B mode: the gateway as an edge node (sparkplug::EdgeNode), one
// device per terminal. Births on every broker connect (once the primary host,
// if one is configured, is online) and on request, a device's birth and
// death with its terminal's state, DDATA of what an event or a DCMD changed,
// and NCMD / DCMD carried out through the operation table the JSON commands
// use.
#pragma once

#include "publisher.hpp"
#include "sparkplug.hpp"

namespace vq6120::gateway {

class SparkplugPublisher final : public Publisher {
public:
    explicit SparkplugPublisher(Surroundings &gateway);
    ~SparkplugPublisher() override;

    std::string describe() const override;
    Message will(bool previous_sent) override;
    // Births and live DDATA go at QoS 0, the drained backlog at QoS 1.
    bool republishes_unacknowledged() const override { return true; }
    void connected() override;
    bool may_publish() const override { return edge_.born(); }
    void state_changed(Node &node, const std::string &was) override;
    void removed(Node &node) override { edge_.forget(node.config.name); }
    bool event(Node &node, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) override;
    void message(const std::string &topic, std::string_view payload, std::string_view correlation) override;
    // Commands report through DDATA: no result message.
    std::optional<Message> result(const std::string &, const std::string &, const CommandOutcome &, const nlohmann::json &,
                                  const std::string &) const override {
        return std::nullopt;
    }
    // Not while the device's DBIRTH waits for its terminal's answers.
    bool history_ready(const std::string &terminal) override;
    Message historical(const Pending &pending) override;
    bool stopping(std::vector<Message> &last) override;

private:
    void births();
    // The node's DBIRTH now, with what is known; ends its wait.
    void device_birth(Node &node);
    void host_state(PrimaryHost::Change change, const std::string &why);
    void dcmd(const sparkplug::EdgeNode::Command &command);

    Surroundings &gateway_;
    sparkplug::EdgeNode edge_;
};

}  // namespace vq6120::gateway
