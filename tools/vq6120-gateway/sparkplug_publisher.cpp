#include "sparkplug_publisher.hpp"

#include "bdseq.hpp"
#include "log.hpp"

namespace vq6120::gateway {

namespace {

std::string bdseq_file(const Config &config) {
    const std::string &file = config.sparkplug->state_file;
    return file.empty() ? default_bdseq_path(config.broker.client_id) : file;
}

}  // namespace

SparkplugPublisher::SparkplugPublisher(Surroundings &gateway)
    : gateway_(gateway), edge_(*gateway.config().sparkplug, bdseq_file(gateway.config())) {}

SparkplugPublisher::~SparkplugPublisher() {
    for (Node &n : gateway_.nodes()) {
        if (n.birth_wait != 0) gateway_.poller().cancel(n.birth_wait);
        n.birth_wait = 0;
    }
}

std::string SparkplugPublisher::describe() const { return "as the Sparkplug B edge node " + edge_.namespace_filter(); }

Message SparkplugPublisher::will(bool previous_sent) {
    // NDEATH is the will, with the bdSeq of the session it ends.
    Message will = edge_.next_session(previous_sent);
    gateway_.counters().primary_host(edge_.host_online());
    return will;
}

void SparkplugPublisher::connected() {
    gateway_.link().subscribe(edge_.filters());
    births();
}

void SparkplugPublisher::births() {
    // With a primary host configured, only once it is online in this session.
    if (!edge_.host_online()) {
        log(Level::info, "births wait for primary host '" + edge_.host().id() + "' to be online");
        return;
    }
    gateway_.link().publish(edge_.node_birth());
    for (Node &n : gateway_.nodes()) {
        // One still waiting for its answers is born when they come.
        if (n.state == "online" && n.birth_wait == 0) device_birth(n);
    }
    gateway_.flush();  // what waited follows the births, historical
}

void SparkplugPublisher::device_birth(Node &n) {
    if (n.birth_wait != 0) gateway_.poller().cancel(n.birth_wait);
    n.birth_wait = 0;
    // Births only reach a connected broker; after a reconnect births() says
    // where everything stands.
    if (!gateway_.publishing()) return;
    gateway_.link().publish(edge_.device_birth(n.config.name));
    n.born = true;
    gateway_.flush();  // its waiting events, held for this birth
}

void SparkplugPublisher::state_changed(Node &n, const std::string &was) {
    if (was == n.state) return;
    if (n.state == "online") {
        // The model and inputs were asked for on connect: the DBIRTH waits
        // for both, or connect_timeout_ms, and holds what came.
        n.birth_wait = gateway_.poller().after(std::chrono::milliseconds(gateway_.config().connect_timeout_ms), [this, &n] {
            n.birth_wait = 0;
            device_birth(n);
        });
    } else if (was == "online") {
        if (n.birth_wait != 0) gateway_.poller().cancel(n.birth_wait);
        n.birth_wait = 0;
        // At the loss itself, not at the next attempt.
        if (n.born && gateway_.publishing()) gateway_.link().publish(edge_.device_death(n.config.name));
        n.born = false;
        edge_.forget(n.config.name);
    }
}

bool SparkplugPublisher::event(Node &n, const vq6120::Event &event, std::chrono::steady_clock::time_point read_at) {
    const bool answer = std::holds_alternative<vq6120::DigitalInputs>(event) || std::holds_alternative<vq6120::ModelName>(event);
    // A key or serial data does not wait: the birth goes first, with what
    // is known.
    if (n.birth_wait != 0 && !answer) device_birth(n);
    std::vector<sparkplug::Metric> changed = edge_.take(n.config.name, event);
    if (changed.empty()) return false;
    if (n.birth_wait != 0) {
        if (edge_.answered(n.config.name)) device_birth(n);
        return true;
    }
    // What changed goes now, or waits with its time and goes, historical,
    // after the next births; behind waiting events, an event waits too.
    if (!n.born || !gateway_.publishing() || !gateway_.backlog().empty()) {
        gateway_.keep({0, n.config.name, {}, sparkplug::encode(sparkplug::EdgeNode::values(std::move(changed)))});
        return true;
    }
    Message m = edge_.device_data(n.config.name, std::move(changed));
    m.read_at = read_at;
    gateway_.link().publish(std::move(m));
    return true;
}

void SparkplugPublisher::host_state(PrimaryHost::Change change, const std::string &why) {
    const std::string host = "primary host '" + edge_.host().id() + "'";
    gateway_.counters().primary_host(edge_.host_online());
    switch (change) {
    case PrimaryHost::Change::refused:
        gateway_.counters().host_state_refused();
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
        if (edge_.born()) {
            gateway_.link().leave(edge_.death());
            edge_.left();
        }
        break;
    }
}

void SparkplugPublisher::message(const std::string &topic, std::string_view payload, std::string_view) {
    std::string why;
    if (const auto change = edge_.host_state(topic, payload, why)) return host_state(*change, why);
    const auto command = edge_.command(topic, payload);
    if (!command) return;
    const std::string who = command->device.empty() ? "node" : command->device;
    for (const std::string &refusal : command->refused) gateway_.refused(who + ": command refused: " + refusal);
    if (command->rebirth) {
        log(Level::info, "rebirth requested");
        births();
    }
    if (!command->writes.empty()) dcmd(*command);
}

void SparkplugPublisher::dcmd(const sparkplug::EdgeNode::Command &command) {
    Node *found = gateway_.find(command.device);
    if (found == nullptr) {
        gateway_.refused("DCMD for '" + command.device + "', which is not a terminal of this gateway");
        return;
    }
    Node &n = *found;
    // One DDATA for the whole DCMD, with every value it changed.
    std::vector<sparkplug::Metric> changed;
    for (const sparkplug::Write &write : command.writes) {
        const CommandOutcome outcome = gateway_.execute(n, parse_arguments(write.operation, write.arguments));
        if (outcome.ok) {
            for (sparkplug::Metric &m : edge_.take(n.config.name, write.metrics)) changed.push_back(std::move(m));
        } else {
            log(Level::info, n.config.name + ": " + write.metrics.front().name + " refused: " + outcome.error);
        }
    }
    if (!changed.empty() && n.born && gateway_.publishing()) {
        gateway_.link().publish(edge_.device_data(n.config.name, std::move(changed)));
    }
}

bool SparkplugPublisher::history_ready(const std::string &terminal) {
    const Node *n = gateway_.find(terminal);
    return n == nullptr || n->birth_wait == 0;
}

Message SparkplugPublisher::historical(const Pending &p) {
    auto values = sparkplug::decode(p.payload);
    if (!values || values->metrics.empty()) return {};
    values->seq.reset();
    values->historical = true;
    // The data types are in the device's DBIRTH of this session; one
    // without (offline now, or a terminal no longer listed) carries them.
    const Node *n = gateway_.find(p.terminal);
    values->datatypes = n == nullptr || !n->born;
    Message m = edge_.device_data(p.terminal, std::move(*values));
    m.qos = 1;
    return m;
}

bool SparkplugPublisher::stopping(std::vector<Message> &last) {
    for (Node &n : gateway_.nodes()) {
        if (edge_.born() && n.born) last.push_back(edge_.device_death(n.config.name));
    }
    last.push_back(edge_.death());
    // NDEATH, then a DISCONNECT that keeps the will (0x04), as an edge node
    // under MQTT 5 must end its session.
    return true;
}

}  // namespace vq6120::gateway
