// What the gateway publishes, and how, behind one interface: JSON under the
// topic prefix (json_publisher.hpp) or a Sparkplug B edge node
// (sparkplug_publisher.hpp). The Gateway keeps the terminals, the commands,
// the pictures, the backlog and the broker link; it tells its publisher what
// happened and never asks which kind it is.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "backlog.hpp"
#include "config.hpp"
#include "metrics.hpp"
#include "mqtt_link.hpp"
#include "requests.hpp"
#include "vq6120.hpp"

namespace vq6120::gateway {

// A command that waits for a picture job of the same terminal, so that the
// terminal carries out its commands in the order they came.
struct Held {
    std::uint64_t job = 0;  // the picture job itself, being prepared; 0: a command behind one
    std::string operation;
    std::string payload;  // a command behind: its payload, parsed when its turn comes
    std::string correlation;
};

// A terminal of the configuration, as the gateway serves it.
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
    std::optional<vq6120::DigitalInputs> inputs;  // JSON: the last published
    unsigned asked = 0;  // JSON: "di" answers to publish even when unchanged
    // Sparkplug B: waiting for the model and inputs its DBIRTH is to hold,
    // at most connect_timeout_ms; 0 when not waiting.
    vq6120::Poller::TimerId birth_wait = 0;
    bool born = false;  // Sparkplug B: its DBIRTH went out, no DDEATH since
    // Redundancy: a frame came on this connection, so the terminal took
    // this gateway as its host; until then it shows connecting (a terminal
    // held by the other gateway accepts and closes at once).
    bool answered = false;
};

// What of the gateway a publisher uses.
class Surroundings {
public:
    virtual const Config &config() const = 0;
    virtual vq6120::Poller &poller() = 0;
    virtual MqttLink &link() = 0;
    virtual Backlog &backlog() = 0;
    virtual Metrics &counters() = 0;
    virtual std::list<Node> &nodes() = 0;
    virtual Node *find(const std::string &name) = 0;
    // Whether an event may go out now: the broker connected and the
    // publisher's own half of the gate (Publisher::may_publish).
    virtual bool publishing() const = 0;
    // An event that waits, in the backlog, until publishing() and the
    // backlog's turn.
    virtual void keep(Pending pending) = 0;
    // What waits is to go now if it may (after births, say).
    virtual void flush() = 0;
    // A command for the terminal `name` (JSON: a message on its command
    // topic): run, held behind its picture or refused; its result follows.
    virtual void command(const std::string &name, const std::string &operation, std::string_view payload,
                         const std::string &correlation) = 0;
    // Whether the gateway speaks for its terminals: false for the standby
    // of a pair, which publishes nothing for them.
    virtual bool holding() const = 0;
    // A parsed request carried out on the node's terminal, counted.
    virtual CommandOutcome execute(Node &node, const Request &request) = 0;
    // A command the publisher did not take, counted; `what` is logged.
    virtual void refused(const std::string &what) = 0;

protected:
    ~Surroundings() = default;
};

class Publisher {
public:
    virtual ~Publisher() = default;

    // "under <prefix>/", "as the Sparkplug B edge node ...": for the log.
    virtual std::string describe() const = 0;
    // The will of the next connect attempt; `previous_sent` says whether
    // the attempt before it sent its CONNECT.
    virtual Message will(bool previous_sent) = 0;
    // Whether every QoS 1 message it publishes is one the backlog republishes
    // until acknowledged: then libmosquitto's own resend after a reconnect
    // is turned off (MqttLink::fresh_sessions), as it could come before the
    // births.
    virtual bool republishes_unacknowledged() const = 0;
    // The broker connected: subscribe, and births or the current states.
    virtual void connected() = 0;
    // The link's tick, at least once a second.
    virtual void ticked() {}
    // The publisher's half of the gate: whether events may go now while the
    // broker is connected.
    virtual bool may_publish() const = 0;
    // A terminal's state changed from `was` to node.state.
    virtual void state_changed(Node &node, const std::string &was) = 0;
    // The node is leaving the configuration (after it was shown offline).
    virtual void removed(Node &) {}
    // An event from the node's terminal, read at `read_at`: published, kept
    // or folded into a birth. False when it changed no value (nothing
    // published); the gateway counts either.
    virtual bool event(Node &node, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) = 0;
    // A message on a subscribed topic.
    virtual void message(const std::string &topic, std::string_view payload, std::string_view correlation) = 0;
    // The result of a command to publish, if this kind publishes results.
    virtual std::optional<Message> result(const std::string &terminal, const std::string &operation,
                                          const CommandOutcome &outcome, const nlohmann::json &id,
                                          const std::string &correlation) const = 0;
    // Whether the terminal's waiting events may go out now. Until then they
    // are held, in order, while those of other terminals go (Sparkplug: not
    // before the device's DBIRTH of this session, while it is due).
    virtual bool history_ready(const std::string &) { return true; }
    // A waiting event as it goes out late (QoS 1); an empty topic when it
    // can never be published.
    virtual Message historical(const Pending &pending) = 0;
    // A clean stop, every node shown offline: the last messages to send,
    // appended to `last`. Returns whether the DISCONNECT is to keep the will.
    virtual bool stopping(std::vector<Message> &last) = 0;
};

std::unique_ptr<Publisher> make_publisher(Surroundings &gateway);

}  // namespace vq6120::gateway
