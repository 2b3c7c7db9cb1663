// The gateway as a Sparkplug B edge node: the node's and its devices' (one
// per terminal) topics, protobuf payloads, birth and death certificates, the
// sequence numbers, and the commands (NCMD, DCMD) turned into operations of
// the table the JSON commands use.
//
//   spBv1.0/<group>/NBIRTH|NDEATH|NDATA|NCMD/<edge node>
//   spBv1.0/<group>/DBIRTH|DDEATH|DDATA|DCMD/<edge node>/<terminal>
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

#include "config.hpp"
#include "mqtt_link.hpp"
#include "vq6120.hpp"

namespace vq6120::gateway::sparkplug {

// Sparkplug B data types used here.
enum DataType : std::uint32_t { UInt32 = 7, UInt64 = 8, Boolean = 11, String = 12, Bytes = 17 };

struct Metric {
    std::string name;
    std::uint32_t datatype = 0;
    // Empty: a null value (not known yet). String and Bytes both hold the
    // bytes in a std::string; the data type tells them apart.
    std::optional<std::variant<bool, std::uint64_t, std::string>> value;
};

struct Payload {
    std::optional<std::uint64_t> seq;
    std::uint64_t timestamp = 0;  // ms since the epoch; every metric's too
    std::vector<Metric> metrics;
    bool historical = false;      // every metric is_historical: sent later than it happened
};
std::string encode(const Payload &payload);
// The largest NCMD or DCMD payload taken: every writable metric at once
// needs well under 2 KiB. A larger one is refused before it is decoded, as
// protobuf-c would spend some hundred bytes of memory on each 2-byte metric.
inline constexpr std::size_t kMaxCommandPayload = 64 * 1024;
// Empty when `bytes` is not a Sparkplug B payload.
std::optional<Payload> decode(std::string_view bytes);

// A write a DCMD asked for, as the JSON command it amounts to.
struct Write {
    std::string metric;
    std::string operation;
    nlohmann::json arguments;
};

class EdgeNode {
public:
    explicit EdgeNode(const SparkplugConfig &config);

    // Before each connect attempt: the next session's bdSeq, and the NDEATH
    // the broker is to publish for it (the MQTT will).
    Message next_session();
    // The NDEATH of the current session, for a clean stop.
    Message death() const;
    std::vector<std::string> filters() const;  // NCMD and every DCMD of this node

    // Sequence numbers run 0..255 over every message but NDEATH; NBIRTH
    // starts them at 0.
    Message node_birth();
    Message device_birth(const std::string &device, std::string_view state);
    Message device_death(const std::string &device);
    // An event as DDATA; the device's last values follow it for its next birth.
    Message device_data(const std::string &device, const vq6120::Event &event);
    // The same in two steps, for an event that waits: its metrics, stamped
    // now (the last values follow them at once), then its DDATA, with the
    // next seq, whenever it goes.
    Payload device_values(const std::string &device, const vq6120::Event &event);
    Message device_data(const std::string &device, Payload values);
    // This session's NBIRTH went out: data may follow.
    bool born() const { return born_; }
    // After a write was carried out: its metric's new value as DDATA.
    Message written(const std::string &device, const Metric &metric);
    void forget(const std::string &device);

    // A message on NCMD or DCMD.
    struct Command {
        bool rebirth = false;        // NCMD Node Control/Rebirth = true
        std::string device;          // DCMD: the terminal; empty for NCMD
        std::vector<std::pair<Metric, Write>> writes;
        std::vector<std::string> refused;  // sentences naming what was not taken
    };
    // Empty when the topic is not this node's NCMD or DCMD.
    std::optional<Command> command(const std::string &topic, std::string_view payload) const;

private:
    std::string topic(std::string_view type, const std::string &device = {}) const;
    Message message(std::string_view type, const std::string &device, std::vector<Metric> metrics, bool with_seq);
    Message sequenced(std::string_view type, const std::string &device, Payload p, bool with_seq);
    SparkplugConfig config_;
    std::uint64_t bd_seq_ = 0;
    bool born_ = false;  // this session's NBIRTH went out
    std::uint64_t seq_ = 0;
    std::map<std::string, std::map<std::string, Metric>> last_;  // device -> metric name -> last value
};

}  // namespace vq6120::gateway::sparkplug
