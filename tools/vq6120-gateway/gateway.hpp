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
#include "service.hpp"
#include "sparkplug.hpp"
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

class Gateway {
public:
    Gateway(const Config &config, vq6120::Poller &poller);
    ~Gateway();
    Gateway(const Gateway &) = delete;
    Gateway &operator=(const Gateway &) = delete;

    void start();
    // Publishes every terminal as offline and the gateway as stopped, waits
    // up to `flush_ms` for that to reach the broker, disconnects, closes the
    // terminals and stops the Poller.
    void shutdown(int flush_ms);
    // Reads the configuration file again and, when all of it is valid,
    // applies what changed in the terminal list: new terminals connect,
    // removed ones are shown offline and go, changed ones reconnect, the
    // others are left alone. A file with any mistake changes nothing.
    // Returns whether the file was taken.
    bool reload(const std::string &path);

    std::string status_topic() const;
    const Metrics &metrics() const { return metrics_; }

private:
    // A command that waits for a picture job of the same terminal, so that
    // the terminal carries out its commands in the order they came.
    struct Held {
        std::uint64_t job = 0;  // the picture job itself, being prepared; 0: a command behind one
        std::string operation;
        std::string payload;  // a command behind: its payload, parsed when its turn comes
        std::string correlation;
    };
    struct Node {
        std::uint64_t key = 0;  // never reused: a job finds its node again only if it is still this one
        TerminalConfig config;
        std::string base;  // "<prefix>/<name>"
        vq6120::TerminalId id = 0;
        std::string state = "connecting";
        std::string reason = "starting";
        std::string state_payload;
        std::deque<Held> held;  // front: a picture job in flight
        // Values since the terminal came online, none from before.
        std::optional<vq6120::DigitalInputs> inputs;  // JSON mode: the last published
        unsigned asked = 0;  // JSON mode: "di" answers to publish even when unchanged
        // Sparkplug B: waiting for the model and inputs its DBIRTH is to
        // hold, at most connect_timeout_ms; 0 when not waiting.
        vq6120::Poller::TimerId birth_wait = 0;
        bool born = false;  // its DBIRTH went out, no DDEATH since
        // Redundancy: a frame came on this connection, so the terminal took
        // us as its host; until then it shows connecting (a terminal held
        // by the other gateway accepts and closes at once).
        bool answered = false;
    };

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
    // Whether this gateway speaks for its terminals (publishes, answers).
    bool holding() const { return !roles_ || hold_ != Hold::none; }
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
    // Sparkplug B mode (gateway_sparkplug.cpp).
    void births();
    void announce(Node &node, const std::string &was);
    // The node's DBIRTH now, with what is known; ends its wait.
    void device_birth(Node &node);
    void on_event_sparkplug(Node &node, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at);
    void on_sparkplug(const std::string &topic, std::string_view payload);
    void on_host_state(sparkplug::EdgeNode &edge, PrimaryHost::Change change, const std::string &why);
    void on_event(Node &node, const vq6120::Event &event);
    // Whether an event may be published now: the broker is connected and,
    // in Sparkplug mode, the births are out. The only such gate: what may
    // not be published waits in the backlog.
    bool publishing() const;
    // An event that waits: into the backlog, committed when the loop turn ends.
    void keep(Pending pending);
    // Once per loop turn, after whatever it received: commits the backlog,
    // publishes the next chunk of it, updates its metrics.
    void end_turn();
    // Publishes waiting events (historical, QoS 1) while the broker's
    // acknowledgements keep up; each leaves the backlog on its PUBACK.
    void forward();
    Message historical(const Pending &pending);
    void on_acked(int mid);
    void on_message(const std::string &topic, std::string_view payload, std::string_view correlation);
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
    Message result_message(const std::string &terminal, const std::string &operation, const CommandOutcome &outcome,
                           const nlohmann::json &id, const std::string &correlation) const;
    CommandOutcome run_command(Node &node, const Request &request);
    // The node's terminal when it is online and not behind; else null with
    // the reason in `out`.
    vq6120::Terminal *ready_terminal(Node &node, CommandOutcome &out);
    // A command refused because the terminal is behind: counted, and said.
    CommandOutcome &behind(Node &node, CommandOutcome &out);
    void on_connected();
    void on_connected_json();
    void publish_state(Node &node);
    void publish_status(std::string_view state, std::string_view reason);
    std::string status_payload(std::string_view state, std::string_view reason) const;
    void sync_broker_metrics();
    void ticked();  // the broker link's tick, at least once a second: status and metrics

    Config config_;
    vq6120::Poller &poller_;
    Node &add_node(const TerminalConfig &t);
    std::list<Node> nodes_;  // stable addresses: each is its terminal's user pointer
    std::unordered_map<std::string, Node *> by_name_;
    Metrics metrics_;
    std::unique_ptr<sparkplug::EdgeNode> edge_;  // Sparkplug B mode
    std::unique_ptr<Backlog> backlog_;
    std::unordered_map<int, std::uint64_t> in_flight_;  // message id -> backlog id
    bool turn_pending_ = false;
    std::unique_ptr<MqttLink> link_;
    ServiceNotifier notifier_;
    bool ready_ = false;
    vq6120::Poller::TimerId watchdog_ = 0;
    bool stopped_ = false;
    std::uint64_t events_ = 0;
    std::uint64_t commands_ = 0;
    std::uint64_t refused_ = 0;
    std::uint64_t behind_ = 0;  // of those refused: the terminal was behind
    std::uint64_t status_mark_ = 0;  // counters' sum at the last status
    std::chrono::steady_clock::time_point status_due_{};
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
