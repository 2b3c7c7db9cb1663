// The bridge: terminals kept by a Poller on one side, a broker on the other,
// both served from the Poller's one loop. Terminal events and state changes
// become MQTT messages; messages on a terminal's command topics become
// operations from the table the command-line tool uses.
//
//   vq6120::Poller poller(backoff_for(config));
//   Gateway gateway(config, poller);
//   gateway.start();
//   poller.run();                 // until something calls gateway.shutdown()
#pragma once

#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "backlog.hpp"
#include "config.hpp"
#include "metrics.hpp"
#include "mqtt_link.hpp"
#include "picture_worker.hpp"
#include "redundancy.hpp"
#include "requests.hpp"
#include "publisher.hpp"
#include "service.hpp"
#include "vq6120.hpp"

namespace vq6120::gateway {

vq6120::Backoff backoff_for(const Config &config);

// A terminal's state as its state topic shows it.
struct ShownState {
    std::string state;   // online, offline, connecting
    std::string reason;  // connected, attempt 3, connect failed, ...
    bool operator==(const ShownState &) const = default;
};
// What the state topic shows after `change`; nothing to publish when neither
// the state nor the reason moves (Lost then Waiting: one offline).
std::optional<ShownState> state_after(const ShownState &now, const vq6120::StateChange &change);

class Gateway final : private Surroundings {
public:
    Gateway(const Config &config, vq6120::Poller &poller);
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    void start();
    // Publishes every terminal as offline and the gateway as stopped (the
    // publisher's last messages), waits up to `flush_ms` for that to reach
    // the broker, disconnects, closes the terminals and stops the Poller.
    void shutdown(int flush_ms);
    // Reads the configuration file again and, when all of it is valid,
    // applies what changed in the terminal list: new terminals connect,
    // removed ones are shown offline and go, changed ones reconnect, the
    // others are left alone. A file with any mistake changes nothing.
    // Returns whether the file was taken.
    bool reload(const std::string &path);

    const Metrics &metrics() const { return metrics_; }

private:
    // Surroundings: what the publisher uses.
    const Config &config() const override { return config_; }
    vq6120::Poller &poller() override { return poller_; }
    MqttLink &link() override { return *link_; }
    Backlog &backlog() override { return *backlog_; }
    Metrics &counters() override { return metrics_; }
    std::list<Node> &nodes() override { return nodes_; }
    Node *find(const std::string &name) override;
    // The broker connected and the publisher's half of the gate open (in
    // Sparkplug mode, the births out). The only such gate: what may not be
    // published waits in the backlog.
    bool publishing() const override;
    // An event that waits: into the backlog, committed when the loop turn ends.
    void keep(Pending pending) override;
    void flush() override { end_turn(); }
    void command(const std::string &name, const std::string &operation, std::string_view payload,
                 const std::string &correlation) override;
    CommandOutcome execute(Node &node, const Request &request) override;
    void refused(const std::string &what) override;
    // Whether this gateway speaks for its terminals: always, unless it is
    // the standby of a pair (or an active that released them).
    // In a pair only the confirmed active with the broker speaks for the
    // terminals: one that keeps them while it has lost the broker or is
    // settling may already have been replaced.
    bool holding() const override { return !roles_ || hold_ == Hold::all; }

    void connect(Node &node);
    // Active and standby (gateway_redundancy.cpp); all of it idle without
    // a "redundancy" configuration.
    void start_roles();
    void on_role_message(const std::string &topic, std::string_view payload);
    // Publishes the role machine's outputs, applies its hold, arms its timer.
    void roles_changed();
    void apply_hold(Hold hold);
    // Lets the terminal go without a word on its state topic: the other
    // gateway speaks for it now.
    void release(Node &node, const std::string &why);
    // A terminal's change seen the redundant way; true when handled.
    bool on_state_redundant(Node &node, const vq6120::StateChange &change);
    // A command not for an active gateway with its claim confirmed: ignored
    // when a peer is active (it answers), else refused for want of an
    // active gateway. True when this gateway does not carry it out.
    bool standby_command(const std::string &name, const std::string &operation, std::string_view payload,
                         const std::string &correlation);
    std::string role_topic(const std::string &node) const;
    void stop_roles(int flush_ms);
    // Once online: the report time set (also off), the model and inputs asked for.
    void ask(Node &node);
    void show(Node &node, std::string state, std::string reason);
    std::string status_line() const;
    void schedule_watchdog();
    void on_state(const vq6120::StateChange &change);
    // Once per loop turn, after whatever it received: commits the backlog,
    // publishes the next chunk of it, updates its metrics.
    void end_turn();
    // Publishes waiting events (historical, QoS 1) while the broker's
    // acknowledgements keep up; each leaves the backlog on its PUBACK.
    void forward();
    // Publishes one waiting event; false when the connection is going.
    bool send_waiting(const Pending &pending);
    void on_acked(int mid);
    // cmd/image and cmd/font-text to the picture worker; false when its
    // queue is full (nothing queued).
    bool submit_picture(Node &node, const std::string &operation, std::string_view payload, const std::string &correlation);
    void picture_ready(const std::string &name, std::uint64_t key, std::uint64_t job, Request request);
    // Runs the commands held behind the node's finished picture, up to the next picture.
    void drain(Node &node);
    // Carries out a parsed request and publishes its result, counted.
    void finish(Node &node, const Request &request, const std::string &correlation);
    // Refuses a command at once, counted and answered.
    void refuse(const std::string &terminal, const std::string &operation, std::string error, std::string_view payload,
                const std::string &correlation, bool busy = false);
    // Answers every command held for the node: refused for `why`.
    void refuse_held(Node &node, const std::string &why, std::vector<Message> *into = nullptr);
    // A command's result as the publisher words it, to the broker or into `into`.
    void answer(const std::string &terminal, const std::string &operation, const CommandOutcome &outcome,
                const nlohmann::json &id, const std::string &correlation, std::vector<Message> *into = nullptr);
    CommandOutcome run_command(Node &node, const Request &request);
    // The node's terminal when it is online and not behind; else null with
    // the reason in `out`.
    vq6120::Terminal *ready_terminal(Node &node, CommandOutcome &out);
    // A command refused because the terminal is behind: counted, and said.
    CommandOutcome &behind(Node &node, CommandOutcome &out);
    void on_connected();
    void sync_broker_metrics();
    void ticked();  // the broker link's tick, at least once a second: status and metrics

    Config config_;
    vq6120::Poller &poller_;
    Node &add_node(const TerminalConfig &t);
    std::list<Node> nodes_;  // stable addresses: each is its terminal's user pointer
    std::unordered_map<std::string, Node *> by_name_;
    Metrics metrics_;
    std::unique_ptr<Backlog> backlog_;
    std::unique_ptr<Publisher> publisher_;  // JSON or Sparkplug B
    std::unordered_map<int, std::uint64_t> in_flight_;  // message id -> backlog id
    std::map<std::uint64_t, Pending> deferred_;  // taken, held until their terminal's birth; by backlog id
    bool turn_pending_ = false;
    std::unique_ptr<MqttLink> link_;
    ServiceNotifier notifier_;
    bool ready_ = false;
    vq6120::Poller::TimerId watchdog_ = 0;
    bool stopped_ = false;
    std::uint64_t next_key_ = 1, next_job_ = 1;
    // Read on the loop only: false once the gateway is gone, for the picture
    // results already posted to the loop.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
    std::unique_ptr<PictureWorker> worker_;
    std::unique_ptr<RoleMachine> roles_;
    std::unique_ptr<MqttLink> role_link_;  // its own connection: the role's will is "gone"
    Hold hold_ = Hold::all;  // as applied; a gateway without redundancy holds everything
    vq6120::Poller::TimerId role_timer_ = 0;
};

}  // namespace vq6120::gateway
