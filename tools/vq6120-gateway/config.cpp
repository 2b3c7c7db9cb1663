#include "config.hpp"
#include "metrics_server.hpp"

#include <arpa/inet.h>

#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <map>
#include <sstream>

namespace vq6120::gateway {

namespace {

using nlohmann::json;
using Errors = std::vector<ConfigError>;

constexpr const char *kLevelRule = "1..64 printable characters without '/', '+', '#', not starting with '$' or '_'";

// One JSON object being read. Every mistake is noted and reading goes on, so
// one round of --check names them all; every member must be known, so a
// misspelt key is named instead of silently ignored. An object that is not
// one is noted once and reads as empty, without "missing" for each member.
class Object {
public:
    Object(Errors &errors, const json &value, json::json_pointer at, std::initializer_list<const char *> known)
        : errors_(errors), value_(value), at_(std::move(at)) {
        if (!value_.is_object()) {
            broken_ = true;
            report(at_, "must be an object");
            return;
        }
        for (const auto &[key, member] : value_.items()) {
            bool ok = false;
            for (const char *k : known) ok = ok || key == k;
            if (!ok) report(at_ / key, "unknown field");
        }
    }
    const json::json_pointer &at() const { return at_; }
    Errors &errors() const { return errors_; }
    void report(const json::json_pointer &at, std::string message) const { errors_.push_back({at.to_string(), std::move(message)}); }
    const json *find(const char *key) const {
        if (broken_) return nullptr;
        const auto it = value_.find(key);
        return it == value_.end() ? nullptr : &*it;
    }
    const json *need(const char *key) const {
        const json *v = find(key);
        if (v == nullptr && !broken_) report(at_ / key, "missing");
        return v;
    }

    // Each reader leaves `out` alone, and returns false, when the member is
    // absent or refused.
    bool text(const char *key, std::string &out, bool required = false) const {
        const json *v = required ? need(key) : find(key);
        if (v == nullptr) return false;
        if (!v->is_string()) return report(at_ / key, "must be a string"), false;
        out = v->get<std::string>();
        return true;
    }
    template <typename T>
    bool integer(const char *key, T &out, long long lo, long long hi) const {
        const json *v = find(key);
        if (v == nullptr) return false;
        if (!v->is_number_integer()) return report(at_ / key, "must be an integer in " + range(lo, hi)), false;
        const long long n = v->is_number_unsigned() && v->get<unsigned long long>() > static_cast<unsigned long long>(hi)
                                ? hi + 1
                                : v->get<long long>();
        if (n < lo || n > hi) return report(at_ / key, v->dump() + " is not in " + range(lo, hi)), false;
        out = static_cast<T>(n);
        return true;
    }
    void boolean(const char *key, bool &out) const {
        const json *v = find(key);
        if (v == nullptr) return;
        if (!v->is_boolean()) return report(at_ / key, "must be true or false");
        out = v->get<bool>();
    }

private:
    static std::string range(long long lo, long long hi) { return std::to_string(lo) + ".." + std::to_string(hi); }
    Errors &errors_;
    const json &value_;
    json::json_pointer at_;
    bool broken_ = false;
};

void read_broker(const Object &o, BrokerConfig &b) {
    if (o.text("host", b.host) && b.host.empty()) o.report(o.at() / "host", "must not be empty");
    o.integer("port", b.port, 1, 65535);
    if (o.text("client_id", b.client_id, true) && !valid_topic_level(b.client_id)) {
        o.report(o.at() / "client_id", std::string("must be ") + kLevelRule);
    }
    o.text("username", b.username);
    o.text("password", b.password);
    if (!b.password.empty() && b.username.empty()) o.report(o.at() / "password", "given without a username");
    o.integer("keepalive", b.keepalive_s, 5, 65535);
    const bool min_ok = o.integer("reconnect_min_ms", b.reconnect_min_ms, 10, 600000) || !o.find("reconnect_min_ms");
    const bool max_ok = o.integer("reconnect_max_ms", b.reconnect_max_ms, 10, 3600000) || !o.find("reconnect_max_ms");
    if (min_ok && max_ok && b.reconnect_max_ms < b.reconnect_min_ms) o.report(o.at() / "reconnect_max_ms", "is below reconnect_min_ms");
    o.integer("queue_limit", b.queue_limit, 0, 10000000);
    o.integer("event_qos", b.event_qos, 0, 1);
    if (const json *tls = o.find("tls")) {
        const Object t(o.errors(), *tls, o.at() / "tls", {"ca_file", "cert_file", "key_file", "insecure"});
        TlsConfig c;
        t.text("ca_file", c.ca_file, true);
        t.text("cert_file", c.cert_file);
        t.text("key_file", c.key_file);
        t.boolean("insecure", c.insecure);
        if (c.cert_file.empty() != c.key_file.empty()) {
            t.report(t.at() / (c.cert_file.empty() ? "cert_file" : "key_file"), "cert_file and key_file go together");
        }
        for (const auto &[key, file] : {std::pair{"ca_file", c.ca_file}, {"cert_file", c.cert_file}, {"key_file", c.key_file}}) {
            if (!file.empty() && !std::ifstream(file)) t.report(t.at() / key, "cannot read '" + file + "'");
        }
        b.tls = c;
    }
}

TerminalConfig read_terminal(const Object &o) {
    TerminalConfig t;
    if (o.text("name", t.name, true) && !valid_topic_level(t.name)) {
        o.report(o.at() / "name", "'" + t.name + "' is not usable as a topic level (" + kLevelRule + ")");
    }
    if (o.text("address", t.address, true)) {
        in_addr a{};
        if (inet_pton(AF_INET, t.address.c_str(), &a) == 1) {
            t.address_n = a.s_addr;
        } else {
            o.report(o.at() / "address", "'" + t.address + "' is not a dotted IPv4 address");
        }
    }
    o.integer("port", t.port, 1, 65535);
    o.integer("auto_report", t.auto_report, 0, 255);
    o.integer("host_alive", t.host_alive, 0, 255);
    return t;
}

Config read_config(Errors &errors, const json &doc) {
    const Object top(errors, doc, json::json_pointer(),
                     {"broker", "prefix", "terminals", "status_interval", "connect_timeout_ms", "terminal_reconnect_min_ms",
                      "terminal_reconnect_max_ms", "sparkplug", "picture_queue", "metrics", "store", "redundancy"});
    Config c;
    if (const json *broker = top.need("broker")) {
        read_broker(Object(errors, *broker, top.at() / "broker",
                           {"host", "port", "client_id", "username", "password", "keepalive", "reconnect_min_ms",
                            "reconnect_max_ms", "queue_limit", "event_qos", "tls"}),
                    c.broker);
    }
    if (const json *sp = top.find("sparkplug")) {
        const Object o(errors, *sp, top.at() / "sparkplug", {"group_id", "edge_node_id", "primary_host_id", "state_file"});
        SparkplugConfig s;
        for (const auto &[key, out] : {std::pair<const char *, std::string *>{"group_id", &s.group_id}, {"edge_node_id", &s.edge_node_id}}) {
            if (o.text(key, *out, true) && !valid_topic_level(*out)) o.report(o.at() / key, std::string("must be ") + kLevelRule);
        }
        if (o.text("primary_host_id", s.primary_host_id) && !valid_topic_level(s.primary_host_id)) {
            o.report(o.at() / "primary_host_id", std::string("must be ") + kLevelRule);
        }
        if (o.text("state_file", s.state_file) && (s.state_file.empty() || s.state_file.back() == '/')) {
            o.report(o.at() / "state_file", "must name a file");
        }
        c.sparkplug = s;
    }
    if (const json *store = top.find("store")) {
        const Object o(errors, *store, top.at() / "store", {"path", "max_events", "max_bytes"});
        StoreConfig s;
        if (o.text("path", s.path, true) && s.path.empty()) o.report(o.at() / "path", "must not be empty");
        o.integer("max_events", s.max_events, 1, 100000000);
        o.integer("max_bytes", s.max_bytes, 64 << 10, 1ll << 36);
        c.store = s;
    }
    if (const json *red = top.find("redundancy")) {
        const Object o(errors, *red, top.at() / "redundancy", {"node", "settle_ms", "fence_ms"});
        RedundancyConfig r;
        if (o.text("node", r.node, true) && !valid_topic_level(r.node)) o.report(o.at() / "node", std::string("must be ") + kLevelRule);
        o.integer("settle_ms", r.settle_ms, 0, 60000);
        o.integer("fence_ms", r.fence_ms, 0, 3600000);
        if (c.sparkplug) o.report(o.at(), "is not available in Sparkplug B mode yet; one gateway serves the edge node");
        c.redundancy = r;
    }
    if (top.text("prefix", c.prefix)) {
        // Levels of the prefix are topic levels themselves; no empty level, so
        // the gateway's subscriptions match exactly what it publishes.
        std::stringstream levels(c.prefix);
        std::string level;
        bool ok = !c.prefix.empty() && c.prefix.back() != '/';
        while (ok && std::getline(levels, level, '/')) ok = valid_topic_level(level);
        if (!ok) top.report(top.at() / "prefix", "'" + c.prefix + "' must be topic levels separated by '/', each " + kLevelRule);
    }
    if (top.text("metrics", c.metrics) && !parse_listen(c.metrics)) {
        top.report(top.at() / "metrics", "'" + c.metrics + "' is not PORT or ADDRESS:PORT (IPv4)");
    }
    top.integer("status_interval", c.status_interval_s, 1, 3600);
    top.integer("connect_timeout_ms", c.connect_timeout_ms, 10, 600000);
    top.integer("picture_queue", c.picture_queue, 1, 64);
    const bool min_ok = top.integer("terminal_reconnect_min_ms", c.terminal_reconnect_min_ms, 10, 600000) ||
                        !top.find("terminal_reconnect_min_ms");
    const bool max_ok = top.integer("terminal_reconnect_max_ms", c.terminal_reconnect_max_ms, 10, 3600000) ||
                        !top.find("terminal_reconnect_max_ms");
    if (min_ok && max_ok && c.terminal_reconnect_max_ms < c.terminal_reconnect_min_ms) {
        top.report(top.at() / "terminal_reconnect_max_ms", "is below terminal_reconnect_min_ms");
    }

    const json *list = top.need("terminals");
    const auto at = top.at() / "terminals";
    if (list != nullptr && !list->is_array()) top.report(at, "must be an array");
    if (list == nullptr || !list->is_array()) return c;
    // Two entries on one terminal would take its single host connection
    // from each other for ever.
    std::map<std::string, std::size_t> names;
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::size_t> endpoints;
    for (std::size_t i = 0; i < list->size(); ++i) {
        const std::size_t before = errors.size();
        TerminalConfig t =
            read_terminal(Object(errors, (*list)[i], at / i, {"name", "address", "port", "auto_report", "host_alive"}));
        const bool whole = errors.size() == before;
        // A name is held against the others also when its entry has other
        // mistakes: one round names every one.
        if (!t.name.empty() && valid_topic_level(t.name)) {
            if (const auto [it, fresh] = names.emplace(t.name, i); !fresh) {
                top.report(at / i / "name", "'" + t.name + "' is used twice (also " + (at / it->second).to_string() + ")");
            }
        }
        if (!whole) continue;
        if (const auto [it, fresh] = endpoints.emplace(std::pair{t.address_n, t.port}, i); !fresh) {
            top.report(at / i / "port", t.address + ":" + std::to_string(t.port) + " is also the terminal at " +
                                            (at / it->second).to_string() + "; a terminal takes one host");
        }
        c.terminals.push_back(std::move(t));
    }
    return c;
}

}  // namespace

bool valid_topic_level(const std::string &name) {
    if (name.empty() || name.size() > 64 || name[0] == '$' || name[0] == '_') return false;
    for (const char ch : name) {
        if (ch <= 0x20 || ch >= 0x7F || ch == '/' || ch == '+' || ch == '#') return false;
    }
    return true;
}

ConfigResult parse_config(const std::string &text) {
    json doc;
    try {
        doc = json::parse(text);
    } catch (const json::exception &e) {  // a syntax error, or a number past any double's range
        ConfigError error{"", std::string("not JSON: ") + e.what()};
        return {std::nullopt, error, {error}};
    }
    Errors errors;
    Config config = read_config(errors, doc);
    if (errors.empty()) return {std::move(config), std::nullopt, {}};
    ConfigError first = errors.front();
    return {std::nullopt, std::move(first), std::move(errors)};
}

ConfigResult load_config(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        ConfigError error{"", "cannot read '" + path + "'"};
        return {std::nullopt, error, {error}};
    }
    std::string text(kMaxConfigFile + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    if (text.size() > kMaxConfigFile) {
        ConfigError error{"", "'" + path + "' is larger than " + std::to_string(kMaxConfigFile) + " bytes"};
        return {std::nullopt, error, {error}};
    }
    return parse_config(text);
}

}  // namespace vq6120::gateway
