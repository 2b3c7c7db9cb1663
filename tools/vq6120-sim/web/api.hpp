// The live view's JSON: the terminal's state as the page and tests read it,
// and the operator requests the page posts, checked and turned into operator
// command lines. A request that does not check out changes nothing.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "model/terminal.hpp"
#include "web/feed.hpp"

namespace vq6120::sim {

// The longest serial line the page may send in one request.
inline constexpr std::size_t kMaxSerialLine = 1024;

nlohmann::json state_json(const Terminal &terminal, bool host_connected);
nlohmann::json entries_json(const std::vector<FeedEntry> &entries);

enum class RequestKind { Key, Inputs, Serial };

struct OperatorRequest {
    std::string command;  // an operator command line; empty when refused
    int status = 200;     // HTTP status: 200, or 400 / 413 with `error`
    std::string error;
};

// `body` as posted; the result's command goes to Simulator::post().
OperatorRequest parse_request(RequestKind kind, const std::string &body);

}  // namespace vq6120::sim
