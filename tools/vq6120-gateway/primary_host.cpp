#include "primary_host.hpp"

#include <nlohmann/json.hpp>

namespace vq6120::gateway {

std::optional<HostState> parse_host_state(std::string_view payload, std::string &why) {
    if (payload.size() > kMaxHostStatePayload) {
        why = "larger than " + std::to_string(kMaxHostStatePayload) + " bytes";
        return std::nullopt;
    }
    const nlohmann::json j = nlohmann::json::parse(payload, nullptr, false);
    if (!j.is_object()) {
        why = j.is_discarded() ? "not JSON" : "not a JSON object";
        return std::nullopt;
    }
    const auto online = j.find("online");
    const auto timestamp = j.find("timestamp");
    if (online == j.end() || !online->is_boolean()) {
        why = "\"online\" is missing or not true/false";
        return std::nullopt;
    }
    // An unsigned integer: -5 and 1.5e12 are not a time.
    if (timestamp == j.end() || !timestamp->is_number_unsigned()) {
        why = "\"timestamp\" is missing or not a whole number of milliseconds";
        return std::nullopt;
    }
    return HostState{online->get<bool>(), timestamp->get<std::uint64_t>()};
}

PrimaryHost::Change PrimaryHost::take(std::string_view payload, std::string &why) {
    const auto state = parse_host_state(payload, why);
    if (!state) return Change::refused;
    if (last_ && state->timestamp < *last_) {
        why = "timestamp " + std::to_string(state->timestamp) + " is older than the last one taken (" +
              std::to_string(*last_) + ")";
        return Change::stale;
    }
    last_ = state->timestamp;
    why = std::string("STATE ") + (state->online ? "online" : "offline") + " (timestamp " + std::to_string(state->timestamp) + ")";
    const bool was = online();
    seen_ = true;
    online_ = state->online;
    if (online() == was) return Change::none;
    return online_ ? Change::online : Change::offline;
}

}  // namespace vq6120::gateway
