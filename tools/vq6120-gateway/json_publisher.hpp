// JSON mode: every terminal's events, state and command results under
// <prefix>/<terminal>/..., and the gateway's own status under
// <prefix>/_gateway/<client id>/status (retained; the will says offline).
#pragma once

#include "publisher.hpp"

namespace vq6120::gateway {

class JsonPublisher final : public Publisher {
public:
    explicit JsonPublisher(Surroundings &gateway);

    std::string describe() const override;
    Message will(bool previous_sent) override;
    // Results and live events at QoS 1 rely on libmosquitto's resend.
    bool republishes_unacknowledged() const override { return false; }
    void connected() override;
    void ticked() override;
    bool may_publish() const override { return true; }
    void state_changed(Node &node, const std::string &was) override;
    bool event(Node &node, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) override;
    void message(const std::string &topic, std::string_view payload, std::string_view correlation) override;
    std::optional<Message> result(const std::string &terminal, const std::string &operation, const CommandOutcome &outcome,
                                  const nlohmann::json &id, const std::string &correlation) const override;
    Message historical(const Pending &pending) override;
    bool stopping(std::vector<Message> &last) override;

private:
    std::string status_topic() const;
    std::string status_payload(std::string_view state, std::string_view reason) const;
    void publish_status(std::string_view state, std::string_view reason);
    void publish_state(Node &node);
    // What the status shows, summed: it is published again only when this moved.
    std::uint64_t status_mark() const;

    Surroundings &gateway_;
    const Message will_;
    std::uint64_t status_mark_ = 0;  // status_mark() at the last status
    std::chrono::steady_clock::time_point status_due_{};
};

}  // namespace vq6120::gateway
