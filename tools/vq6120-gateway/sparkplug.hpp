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
#include "primary_host.hpp"
#include "vq6120.hpp"

namespace vq6120::gateway::sparkplug {

// Sparkplug B data types used here.
enum DataType : std::uint32_t { Int64 = 4, UInt32 = 7, UInt64 = 8, Boolean = 11, String = 12, Bytes = 17 };

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
    bool datatypes = true;    // births carry each metric's type; data and deaths need not
    bool historical = false;  // every metric is_historical: sent later than it happened
};
std::string encode(const Payload &payload);
// The largest NCMD or DCMD payload taken: every writable metric at once
// needs well under 2 KiB. A larger one is refused before it is decoded, as
// protobuf-c would spend some hundred bytes of memory on each 2-byte metric.
inline constexpr std::size_t kMaxCommandPayload = 64 * 1024;
// Empty when `bytes` is not a Sparkplug B payload.
std::optional<Payload> decode(std::string_view bytes);

// A write a DCMD asked for, as the JSON command it amounts to, and the
// metrics it sets: both outputs for one "do", whether the DCMD named one or
// both (see EdgeNode::command).
struct Write {
    std::vector<Metric> metrics;
    std::string operation;
    nlohmann::json arguments;
};

class EdgeNode {
public:
    // `state_file`: the bdSeq file (bdseq.hpp); empty: bdSeq is kept in
    // memory only and starts at 0.
    explicit EdgeNode(const SparkplugConfig &config, std::string state_file = {});

    // Before each connect attempt: the NDEATH the broker is to publish for
    // it (the MQTT will), with the attempt's bdSeq. bdSeq moves on by one
    // (255 to 0) for every CONNECT sent, refused ones too: `previous_sent`
    // says whether the attempt before this one sent its CONNECT. The number
    // is in the bdSeq file before the CONNECT goes out.
    Message next_session(bool previous_sent);
    // The NDEATH of the current session, for a clean stop.
    Message death() const;
    // NCMD and every DCMD of this node, and the primary host's STATE.
    std::vector<std::string> filters() const;
    std::string namespace_filter() const;  // every topic of this node: spBv1.0/<group>/+/<edge node>/#

    // Whether this session's NBIRTH went out; cleared by left().
    bool born() const { return born_; }
    // The node published its NDEATH and is leaving the broker.
    void left() { born_ = false; }
    // Births wait for this: true without a primary host, else while the
    // host's last STATE in this session says online.
    bool host_online() const { return host_.online(); }
    const PrimaryHost &host() const { return host_; }
    // A message on `topic` when it is the primary host's STATE; nullopt for
    // any other topic.
    std::optional<PrimaryHost::Change> host_state(const std::string &topic, std::string_view payload, std::string &why);

    // Sequence numbers run 0..255 over every message but NDEATH; NBIRTH
    // starts them at 0.
    Message node_birth();
    // Every metric of the device: the values known since its terminal came
    // online, null for the others; State online.
    Message device_birth(const std::string &device);
    Message device_death(const std::string &device);
    // Only current values: what the device's terminal said or was told
    // before it was lost is not carried into its next connection.
    void forget(const std::string &device);
    // Takes an event into the device's values; returns the metrics it
    // changed. A key press and serial data are news each time; inputs and a
    // model equal to the known ones are not, nor is any other frame.
    std::vector<Metric> take(const std::string &device, const vq6120::Event &event);
    // The writes carried out, into the device's values; returns the metrics
    // whose value changed.
    std::vector<Metric> take(const std::string &device, const std::vector<Metric> &written);
    // Whether the device's model and inputs are known: its birth is complete.
    bool answered(const std::string &device) const;
    // DDATA with `metrics` (not empty), without data types.
    Message device_data(const std::string &device, std::vector<Metric> metrics);
    // `metrics` stamped now, for a DDATA that goes later: kept with their
    // data types, so that they read back as they were.
    static Payload values(std::vector<Metric> metrics);
    // DDATA of values that waited, as `values` says (its time, is_historical,
    // data types or not), with the next seq.
    Message device_data(const std::string &device, Payload values);

    // A message on NCMD or DCMD.
    struct Command {
        bool rebirth = false;        // NCMD Node Control/Rebirth = true
        std::string device;          // DCMD: the terminal; empty for NCMD
        std::vector<Write> writes;
        std::vector<std::string> refused;  // sentences naming what was not taken
    };
    // Empty when the topic is not this node's NCMD or DCMD.
    std::optional<Command> command(const std::string &topic, std::string_view payload) const;

private:
    std::string topic(std::string_view type, const std::string &device = {}) const;
    Message message(std::string_view type, const std::string &device, std::vector<Metric> metrics, bool with_seq,
                    bool datatypes = true);
    // The arguments of a "do" write, and the output it sets off because its
    // state is unknown.
    void outputs(const std::string &device, Write &w) const;
    // The value of a known metric of the device; null when unknown.
    const Metric *known(const std::string &device, std::string_view name) const;
    Message sequenced(std::string_view type, const std::string &device, Payload p, bool with_seq);
    SparkplugConfig config_;
    std::string state_file_;
    PrimaryHost host_;
    std::uint8_t bd_seq_ = 0;
    bool started_ = false;  // a first attempt took bd_seq_
    bool file_failed_ = false;  // the last write of the bdSeq file failed (said once)
    bool born_ = false;  // this session's NBIRTH went out
    std::uint64_t seq_ = 0;
    std::map<std::string, std::map<std::string, Metric, std::less<>>> last_;  // device -> metric name -> last value
};

}  // namespace vq6120::gateway::sparkplug
