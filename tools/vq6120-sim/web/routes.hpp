// The live view's requests apart from the HTTP server: each route's answer
// to a method, a path, the `?t=N` terminal and a body, computed against the
// terminals' source. The server hands every request of a route here; the
// event stream, which holds its connection, is the only route it answers
// itself.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "web/source.hpp"

namespace vq6120::sim {

struct LiveRequest {
    std::string method;  // "GET" or "POST"
    std::string path;    // the route's path, e.g. "/key"
    std::optional<std::string> terminal;  // the `t` query parameter, when given
    std::string content_type;
    std::string body;
};

struct LiveReply {
    int status = 404;
    std::string content_type = "application/json";
    std::string cache_control = "no-store";
    std::string body;
};

struct LiveRoute {
    std::string_view method;
    std::string path;
};
// Every route live_reply answers (all but the event stream's /events).
std::vector<LiveRoute> live_routes();

// Answers one request; POSTs that check out are posted to `source`.
LiveReply live_reply(LiveSource &source, const LiveRequest &request);

// The terminal a request is about: the first when `t` is not given; nothing
// for a malformed or unknown one.
std::optional<std::size_t> live_terminal(const std::optional<std::string> &t, std::size_t count);
// A terminal's state as /state.json and the event stream give it.
nlohmann::json live_state(const LiveSource &source, std::size_t terminal);
// JSON as the live view sends it (bytes that are not UTF-8 replaced).
std::string live_dump(const nlohmann::json &j);

}  // namespace vq6120::sim
