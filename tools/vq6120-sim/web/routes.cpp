#include "web/routes.hpp"

#include "web/api.hpp"
#include "web/assets.hpp"

namespace vq6120::sim {
namespace {

using nlohmann::json;

LiveReply json_reply(int status, const json &j) { return {status, "application/json", "no-store", live_dump(j)}; }

std::optional<RequestKind> post_kind(std::string_view path) {
    if (path == "/key") return RequestKind::Key;
    if (path == "/inputs") return RequestKind::Inputs;
    if (path == "/serial") return RequestKind::Serial;
    return std::nullopt;
}

LiveReply post(LiveSource &source, RequestKind kind, const LiveRequest &request) {
    // A page of another site may post plain text or forms here, but not JSON
    // without the browser asking first: only JSON is taken.
    if (request.content_type.rfind("application/json", 0) != 0) {
        return json_reply(415, {{"error", "send application/json"}});
    }
    const auto t = live_terminal(request.terminal, source.size());
    if (!t) {
        return json_reply(404, {{"error", "no such terminal"}});
    }
    const auto parsed = parse_request(kind, request.body);
    if (parsed.command.empty()) {
        return json_reply(parsed.status, {{"error", parsed.error}});
    }
    source.post(*t, parsed.command);
    return json_reply(200, {{"posted", parsed.command}});
}

}  // namespace

std::string live_dump(const json &j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

std::optional<std::size_t> live_terminal(const std::optional<std::string> &t, std::size_t count) {
    if (!t) {
        return 0;
    }
    if (t->empty() || t->size() > 6 || t->find_first_not_of("0123456789") != std::string::npos) {
        return std::nullopt;
    }
    const auto i = std::stoul(*t);
    return i < count ? std::optional<std::size_t>(i) : std::nullopt;
}

json live_state(const LiveSource &source, std::size_t terminal) {
    json s = state_json(source.terminal(terminal), false);
    s["terminal"] = source.summary(terminal);
    s["connected"] = s["terminal"]["connected"];
    return s;
}

std::vector<LiveRoute> live_routes() {
    std::vector<LiveRoute> routes;
    for (const auto &asset : web_assets()) {
        routes.push_back({"GET", asset.path == "/index.html" ? "/" : std::string(asset.path)});
    }
    for (const char *path : {"/terminals.json", "/state.json"}) {
        routes.push_back({"GET", path});
    }
    for (const char *path : {"/key", "/inputs", "/serial"}) {
        routes.push_back({"POST", path});
    }
    return routes;
}

LiveReply live_reply(LiveSource &source, const LiveRequest &request) {
    if (request.method == "POST") {
        if (const auto kind = post_kind(request.path)) {
            return post(source, *kind, request);
        }
        return json_reply(404, {{"error", "not found"}});
    }
    if (request.method != "GET") {
        return json_reply(404, {{"error", "not found"}});
    }
    for (const auto &asset : web_assets()) {
        if (request.path == (asset.path == "/index.html" ? "/" : asset.path)) {
            return {200, std::string(asset.type), "no-cache", std::string(asset.body)};
        }
    }
    if (request.path == "/terminals.json") {
        json list = json::array();
        for (std::size_t i = 0; i < source.size(); ++i) {
            list.push_back(source.summary(i));
        }
        return json_reply(200, {{"terminals", list}});
    }
    if (request.path == "/state.json") {
        const auto t = live_terminal(request.terminal, source.size());
        if (!t) {
            return json_reply(404, {{"error", "no such terminal"}});
        }
        return json_reply(200, live_state(source, *t));
    }
    return json_reply(404, {{"error", "not found"}});
}

}  // namespace vq6120::sim
