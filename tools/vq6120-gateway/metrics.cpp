#include "metrics.hpp"

#include <algorithm>
#include <cstdio>

namespace vq6120::gateway {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// A label value with \, " and line feeds escaped as the format asks.
std::string label(std::string_view v) {
    std::string out;
    for (const char c : v) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Text {
public:
    void family(const char *name, const char *type, const char *help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    template <typename N>
    void sample(const std::string &name, N value) {
        out_ += name + " " + std::to_string(value) + "\n";
    }
    void sample(const std::string &name, double value) {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.9g", value);
        out_ += name + " " + buf + "\n";
    }
    std::string take() { return std::move(out_); }

private:
    std::string out_;
};

}  // namespace

Metrics::Metrics(std::vector<std::string> operations)
    : operations_(std::move(operations)), commands_(new Counter[operations_.size()]) {
    for (std::size_t i = 0; i < operations_.size(); ++i) commands_[i].store(0, relaxed);
}

std::size_t Metrics::state_index(std::string_view state) {
    const auto at = std::find(kStates.begin(), kStates.end(), state);
    return at == kStates.end() ? kStates.size() - 1 : static_cast<std::size_t>(at - kStates.begin());
}

void Metrics::terminal_added(std::string_view state) { terminals_[state_index(state)].fetch_add(1, relaxed); }

void Metrics::terminal_removed(std::string_view state) { terminals_[state_index(state)].fetch_sub(1, relaxed); }

void Metrics::terminal_shown(std::string_view from, std::string_view to, std::string_view reason) {
    if (from != to) {
        terminals_[state_index(from)].fetch_sub(1, relaxed);
        terminals_[state_index(to)].fetch_add(1, relaxed);
    }
    if (to == "online" && from != "online") connects_.fetch_add(1, relaxed);
    if (to != "offline" || from == "offline") return;
    std::lock_guard lock(reasons_lock_);
    auto &counts = from == "online" ? losses_ : failures_;
    const auto it = counts.find(reason);
    if (it != counts.end()) {
        ++it->second;
    } else {
        counts.emplace(std::string(reason), 1);
    }
}

void Metrics::event(std::string_view subtopic) {
    const std::string_view kind = subtopic.substr(0, subtopic.find('/'));
    const auto at = std::find(kEventKinds.begin(), kEventKinds.end(), kind);
    events_[at == kEventKinds.end() ? kEventKinds.size() - 1 : static_cast<std::size_t>(at - kEventKinds.begin())].fetch_add(
        1, relaxed);
}

void Metrics::command(std::size_t operation) {
    if (operation < operations_.size()) commands_[operation].fetch_add(1, relaxed);
}

std::uint64_t Metrics::events_total() const {
    std::uint64_t n = 0;
    for (const Counter &c : events_) n += c.load(relaxed);
    return n;
}

std::uint64_t Metrics::commands_total() const {
    std::uint64_t n = 0;
    for (std::size_t i = 0; i < operations_.size(); ++i) n += commands_[i].load(relaxed);
    return n;
}

void Metrics::published(std::chrono::steady_clock::duration since_read) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_read).count();
    const double seconds = static_cast<double>(ns) / 1e9;
    const auto bucket = std::lower_bound(kLatencyBounds.begin(), kLatencyBounds.end(), seconds) - kLatencyBounds.begin();
    latency_[static_cast<std::size_t>(bucket)].fetch_add(1, relaxed);
    latency_ns_.fetch_add(static_cast<std::uint64_t>(std::max<std::int64_t>(ns, 0)), relaxed);
}

void Metrics::broker(bool connected, std::uint64_t connects, std::size_t queued, std::uint64_t dropped) {
    broker_connected_.store(connected, relaxed);
    broker_connects_.store(connects, relaxed);
    queued_.store(queued, relaxed);
    dropped_.store(dropped, relaxed);
}

void Metrics::backlog(std::size_t events, std::uint64_t bytes, std::uint64_t dropped) {
    stored_.store(events, relaxed);
    stored_bytes_.store(bytes, relaxed);
    store_dropped_.store(dropped, relaxed);
}

std::string Metrics::render() const {
    Text t;
    t.family("vq6120_gateway_terminals", "gauge", "Terminals by the state their state topic shows.");
    for (std::size_t i = 0; i < kStates.size(); ++i) {
        t.sample("vq6120_gateway_terminals{state=\"" + std::string(kStates[i]) + "\"}", terminals_[i].load(relaxed));
    }
    t.family("vq6120_gateway_terminal_connects_total", "counter", "Times a terminal came online.");
    t.sample("vq6120_gateway_terminal_connects_total", connects_.load(relaxed));
    {
        std::lock_guard lock(reasons_lock_);
        t.family("vq6120_gateway_terminal_losses_total", "counter", "Online terminals lost, by reason.");
        for (const auto &[reason, n] : losses_) {
            t.sample("vq6120_gateway_terminal_losses_total{reason=\"" + label(reason) + "\"}", n);
        }
        t.family("vq6120_gateway_terminal_connect_failures_total", "counter", "Connect attempts that failed, by reason.");
        for (const auto &[reason, n] : failures_) {
            t.sample("vq6120_gateway_terminal_connect_failures_total{reason=\"" + label(reason) + "\"}", n);
        }
    }
    t.family("vq6120_gateway_events_total", "counter", "Events from terminals published, by kind.");
    for (std::size_t i = 0; i < kEventKinds.size(); ++i) {
        t.sample("vq6120_gateway_events_total{kind=\"" + std::string(kEventKinds[i]) + "\"}", events_[i].load(relaxed));
    }
    t.family("vq6120_gateway_events_unchanged_total", "counter",
             "Events that changed no value (inputs or model as known, other frames in Sparkplug B mode): not published.");
    t.sample("vq6120_gateway_events_unchanged_total", unchanged_.load(relaxed));
    t.family("vq6120_gateway_commands_total", "counter", "Commands handed to a terminal, by operation.");
    for (std::size_t i = 0; i < operations_.size(); ++i) {
        if (const auto n = commands_[i].load(relaxed); n != 0) {
            t.sample("vq6120_gateway_commands_total{operation=\"" + label(operations_[i]) + "\"}", n);
        }
    }
    t.family("vq6120_gateway_commands_refused_total", "counter", "Commands refused; nothing sent to the terminal.");
    t.sample("vq6120_gateway_commands_refused_total", refused_.load(relaxed));
    t.family("vq6120_gateway_commands_busy_total", "counter",
             "Of the commands refused: the picture queue, or a terminal's commands behind a picture, was full.");
    t.sample("vq6120_gateway_commands_busy_total", busy_.load(relaxed));
    t.family("vq6120_gateway_broker_connected", "gauge", "1 while the broker connection is up.");
    t.sample("vq6120_gateway_broker_connected", broker_connected_.load(relaxed) ? 1 : 0);
    t.family("vq6120_gateway_broker_reconnects_total", "counter", "Broker connections made after the first.");
    const auto connects = broker_connects_.load(relaxed);
    t.sample("vq6120_gateway_broker_reconnects_total", connects > 0 ? connects - 1 : 0);
    t.family("vq6120_gateway_broker_queue_messages", "gauge", "Messages waiting for the broker.");
    t.sample("vq6120_gateway_broker_queue_messages", queued_.load(relaxed));
    t.family("vq6120_gateway_broker_dropped_messages_total", "counter", "Messages dropped: queue full or refused.");
    t.sample("vq6120_gateway_broker_dropped_messages_total", dropped_.load(relaxed));
    t.family("vq6120_gateway_primary_host_online", "gauge",
             "Sparkplug: 1 while births may go out (the primary host online in this session, or none configured).");
    t.sample("vq6120_gateway_primary_host_online", primary_host_online_.load(relaxed) ? 1 : 0);
    t.family("vq6120_gateway_primary_host_states_refused_total", "counter",
             "Sparkplug: messages on the primary host's STATE topic refused as malformed.");
    t.sample("vq6120_gateway_primary_host_states_refused_total", host_states_refused_.load(relaxed));
    t.family("vq6120_gateway_active", "gauge",
             "1 while this gateway is active and holds its terminals; 0 while standby (redundancy).");
    t.sample("vq6120_gateway_active", active_.load(relaxed) ? 1 : 0);
    t.family("vq6120_gateway_store_events", "gauge", "Events waiting to be published (the store, or the queue in memory).");
    t.sample("vq6120_gateway_store_events", stored_.load(relaxed));
    t.family("vq6120_gateway_store_bytes", "gauge", "Bytes of the events waiting.");
    t.sample("vq6120_gateway_store_bytes", stored_bytes_.load(relaxed));
    t.family("vq6120_gateway_store_dropped_total", "counter", "Waiting events dropped, the oldest first, at the bound.");
    t.sample("vq6120_gateway_store_dropped_total", store_dropped_.load(relaxed));
    t.family("vq6120_gateway_reloads_total", "counter", "Configuration reloads applied.");
    t.sample("vq6120_gateway_reloads_total", reloads_.load(relaxed));
    t.family("vq6120_gateway_reload_failures_total", "counter", "Configuration reloads refused; nothing changed.");
    t.sample("vq6120_gateway_reload_failures_total", reload_failures_.load(relaxed));

    t.family("vq6120_gateway_event_publish_seconds", "histogram",
             "From reading a terminal's event to handing it to the broker connection.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < latency_.size(); ++i) {
        cumulative += latency_[i].load(relaxed);
        char le[32];
        if (i < kLatencyBounds.size()) {
            std::snprintf(le, sizeof le, "%g", kLatencyBounds[i]);
        } else {
            std::snprintf(le, sizeof le, "+Inf");
        }
        t.sample(std::string("vq6120_gateway_event_publish_seconds_bucket{le=\"") + le + "\"}", cumulative);
    }
    t.sample("vq6120_gateway_event_publish_seconds_sum", static_cast<double>(latency_ns_.load(relaxed)) / 1e9);
    t.sample("vq6120_gateway_event_publish_seconds_count", cumulative);
    return t.take();
}

}  // namespace vq6120::gateway
