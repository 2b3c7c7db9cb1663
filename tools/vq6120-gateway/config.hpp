// The gateway's configuration: one JSON file, read whole and checked whole
// before anything connects, so a bad file never starts half a gateway.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vq6120::gateway {

struct TlsConfig {
    std::string ca_file;    // verifies the broker; TLS is on when this is set
    std::string cert_file;  // client certificate and key, both or neither
    std::string key_file;
    bool insecure = false;  // skip the host-name check (test brokers only)
    bool operator==(const TlsConfig &) const = default;
};

struct BrokerConfig {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string client_id;  // also names the gateway's status topic
    std::string username;
    std::string password;   // never logged
    int keepalive_s = 30;
    int reconnect_min_ms = 500;
    int reconnect_max_ms = 30000;
    std::size_t queue_limit = 10000;  // messages held while the broker is away
    int event_qos = 0;  // command results go at 1; state and status at 0, republished on every connect
    std::optional<TlsConfig> tls;
    bool operator==(const BrokerConfig &) const = default;
};

struct TerminalConfig {
    std::string name;
    std::string address;       // dotted IPv4, as written in the file
    std::uint32_t address_n = 0;  // the same in network byte order
    std::uint16_t port = 16120;
    int auto_report = 0;       // SetAutoReportTime on every connect; 0 sends 0, reporting off
    int host_alive = 0;        // SetHostAliveCheck on every connect; 0 leaves it off
    bool operator==(const TerminalConfig &) const = default;
};

// Sparkplug B edge node mode: the group and the node's id, each a topic level.
struct SparkplugConfig {
    std::string group_id;
    std::string edge_node_id;
    // The primary host application whose STATE online the node waits for
    // before its births; empty: none, births on every connect.
    std::string primary_host_id{};
    // The bdSeq file (bdseq.hpp); empty: default_bdseq_path() of the client id.
    std::string state_file{};
    bool operator==(const SparkplugConfig &) const = default;
};

// The event store on disk (SQLite): events that may not be published yet
// wait here instead of in memory, and outlive the process.
struct StoreConfig {
    std::string path;
    std::uint64_t max_events = 1000000;
    std::uint64_t max_bytes = 256ull << 20;
    bool operator==(const StoreConfig &) const = default;
};

// Active and standby (redundancy.hpp): this gateway's name in the pair and
// the role machine's timers.
struct RedundancyConfig {
    std::string node;
    int settle_ms = 1000;   // after the broker connects, reading the roles before claiming
    int fence_ms = 10000;   // an active without the broker this long releases its terminals
    bool operator==(const RedundancyConfig &) const = default;
};

struct Config {
    BrokerConfig broker;
    std::optional<StoreConfig> store;  // unset: events wait in memory, at most broker.queue_limit
    std::optional<RedundancyConfig> redundancy;  // unset: a gateway of its own, always holding its terminals
    std::optional<SparkplugConfig> sparkplug;  // set: Sparkplug B topics instead of the JSON ones
    std::string prefix = "vq6120";
    int status_interval_s = 10;  // republishes the status when its counters moved
    int connect_timeout_ms = 2000;          // a terminal's connect attempt
    int terminal_reconnect_min_ms = 500;    // a lost terminal's backoff bounds
    int terminal_reconnect_max_ms = 30000;
    int picture_queue = 4;  // cmd/image and cmd/font-text jobs that may wait for the picture worker
    std::string metrics;    // "[ADDRESS:]PORT": Prometheus metrics served there; --metrics wins
    std::vector<TerminalConfig> terminals;
};

// A refusal: the JSON pointer of the offending value ("" for the whole
// document) and what is wrong with it.
struct ConfigError {
    std::string pointer;
    std::string message;
    std::string describe() const { return (pointer.empty() ? std::string("/") : pointer) + ": " + message; }
};

// Parses and checks a whole configuration: either `config`, or `errors`
// naming every mistake found (`error` is the first of them).
struct ConfigResult {
    std::optional<Config> config;
    std::optional<ConfigError> error;
    std::vector<ConfigError> errors;
};
ConfigResult parse_config(const std::string &text);
// The file at `path` through parse_config; a file larger than
// kMaxConfigFile (or endless, as /dev/zero) is refused unread.
inline constexpr std::size_t kMaxConfigFile = 1024 * 1024;
ConfigResult load_config(const std::string &path);

// A name that is one whole topic level: printable ASCII without '/', '+',
// '#', and not starting with '$' (the broker's own topics) or '_' (the
// gateway's own topics).
bool valid_topic_level(const std::string &name);

}  // namespace vq6120::gateway
