// The Sparkplug primary host as an edge node follows it: the host announces
// itself on spBv1.0/STATE/<host_id> (retained, QoS 1) with a JSON payload
//
//   {"online": true, "timestamp": 1700000000000}
//
// and the node publishes its births only while the last valid STATE of the
// current broker session says online. A STATE older than the last one taken
// (a retained message replayed, a late will) changes nothing. Payloads come
// from anyone who may publish on the topic: bounded, parsed whole, and
// anything that is not exactly that shape is refused.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vq6120::gateway {

struct HostState {
    bool online = false;
    std::uint64_t timestamp = 0;  // ms since the epoch, as the host wrote it
};

// A STATE payload larger than this is refused unread; a real one is some 40 bytes.
inline constexpr std::size_t kMaxHostStatePayload = 1024;

// The payload as a HostState, or nullopt with the reason in `why`.
std::optional<HostState> parse_host_state(std::string_view payload, std::string &why);

class PrimaryHost {
public:
    // `id` empty: no primary host; the node is never held back.
    explicit PrimaryHost(std::string id) : id_(std::move(id)) {}

    bool configured() const { return !id_.empty(); }
    const std::string &id() const { return id_; }
    std::string topic() const { return "spBv1.0/STATE/" + id_; }

    // A new broker connection: the host must show itself online again in it
    // before the node's births. The last timestamp is kept.
    void new_session() { seen_ = false; }
    // Whether births may go out now.
    bool online() const { return !configured() || (seen_ && online_); }

    enum class Change { none, online, offline, stale, refused };
    // A message on topic(): what it changed. `why` says what was refused or
    // ignored, or what was taken.
    Change take(std::string_view payload, std::string &why);

private:
    std::string id_;
    bool seen_ = false;    // a valid STATE arrived in this broker session
    bool online_ = false;
    std::optional<std::uint64_t> last_;  // timestamp of the last STATE taken
};

}  // namespace vq6120::gateway
