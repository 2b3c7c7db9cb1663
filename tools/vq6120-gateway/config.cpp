#include "config.hpp"

#include <arpa/inet.h>

#include <fstream>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>

namespace vq6120::gateway {

namespace {

using nlohmann::json;

struct Refused {
    ConfigError error;
};

[[noreturn]] void refuse(const json::json_pointer &at, std::string message) {
    throw Refused{{at.to_string(), std::move(message)}};
}

// One JSON object being read: every member must be known, so a misspelt key
// is named instead of silently ignored.
class Object {
public:
    Object(const json &value, json::json_pointer at, std::initializer_list<const char *> known) : value_(value), at_(std::move(at)) {
        if (!value_.is_object()) refuse(at_, "must be an object");
        for (const auto &[key, member] : value_.items()) {
            bool ok = false;
            for (const char *k : known) ok = ok || key == k;
            if (!ok) refuse(at_ / key, "unknown field");
        }
    }
    const json::json_pointer &at() const { return at_; }
    const json *find(const char *key) const {
        const auto it = value_.find(key);
        return it == value_.end() ? nullptr : &*it;
    }
    const json &need(const char *key) const {
        const json *v = find(key);
        if (v == nullptr) refuse(at_ / key, "missing");
        return *v;
    }

    void text(const char *key, std::string &out, bool required = false) const {
        const json *v = required ? &need(key) : find(key);
        if (v == nullptr) return;
        if (!v->is_string()) refuse(at_ / key, "must be a string");
        out = v->get<std::string>();
    }
    template <typename T>
    void integer(const char *key, T &out, long long lo, long long hi, bool required = false) const {
        const json *v = required ? &need(key) : find(key);
        if (v == nullptr) return;
        if (!v->is_number_integer()) refuse(at_ / key, "must be an integer in " + range(lo, hi));
        const long long n = v->is_number_unsigned() && v->get<unsigned long long>() > static_cast<unsigned long long>(hi)
                                ? hi + 1
                                : v->get<long long>();
        if (n < lo || n > hi) refuse(at_ / key, v->dump() + " is not in " + range(lo, hi));
        out = static_cast<T>(n);
    }
    void boolean(const char *key, bool &out) const {
        const json *v = find(key);
        if (v == nullptr) return;
        if (!v->is_boolean()) refuse(at_ / key, "must be true or false");
        out = v->get<bool>();
    }

private:
    static std::string range(long long lo, long long hi) { return std::to_string(lo) + ".." + std::to_string(hi); }
    const json &value_;
    json::json_pointer at_;
};

void read_broker(const Object &o, BrokerConfig &b) {
    o.text("host", b.host);
    if (b.host.empty()) refuse(o.at() / "host", "must not be empty");
    o.integer("port", b.port, 1, 65535);
    o.text("client_id", b.client_id, true);
    if (!valid_topic_level(b.client_id)) {
        refuse(o.at() / "client_id", "must be 1..64 printable characters without '/', '+', '#', and not start with '$' or '_'");
    }
    o.text("username", b.username);
    o.text("password", b.password);
    if (!b.password.empty() && b.username.empty()) refuse(o.at() / "password", "given without a username");
    o.integer("keepalive", b.keepalive_s, 5, 65535);
    o.integer("reconnect_min_ms", b.reconnect_min_ms, 10, 600000);
    o.integer("reconnect_max_ms", b.reconnect_max_ms, 10, 3600000);
    if (b.reconnect_max_ms < b.reconnect_min_ms) refuse(o.at() / "reconnect_max_ms", "is below reconnect_min_ms");
    o.integer("queue_limit", b.queue_limit, 0, 10000000);
    o.integer("event_qos", b.event_qos, 0, 1);
    if (const json *tls = o.find("tls")) {
        const Object t(*tls, o.at() / "tls", {"ca_file", "cert_file", "key_file", "insecure"});
        TlsConfig c;
        t.text("ca_file", c.ca_file, true);
        t.text("cert_file", c.cert_file);
        t.text("key_file", c.key_file);
        t.boolean("insecure", c.insecure);
        if (c.cert_file.empty() != c.key_file.empty()) {
            refuse(t.at() / (c.cert_file.empty() ? "cert_file" : "key_file"), "cert_file and key_file go together");
        }
        for (const auto &[key, file] : {std::pair{"ca_file", c.ca_file}, {"cert_file", c.cert_file}, {"key_file", c.key_file}}) {
            if (!file.empty() && !std::ifstream(file)) refuse(t.at() / key, "cannot read '" + file + "'");
        }
        b.tls = c;
    }
}

TerminalConfig read_terminal(const Object &o) {
    TerminalConfig t;
    o.text("name", t.name, true);
    if (!valid_topic_level(t.name)) {
        refuse(o.at() / "name", "'" + t.name + "' is not usable as a topic level (1..64 printable characters without '/', '+', '#', not starting with '$' or '_')");
    }
    o.text("address", t.address, true);
    in_addr a{};
    if (inet_pton(AF_INET, t.address.c_str(), &a) != 1) refuse(o.at() / "address", "'" + t.address + "' is not a dotted IPv4 address");
    t.address_n = a.s_addr;
    o.integer("port", t.port, 1, 65535);
    o.integer("auto_report", t.auto_report, 0, 255);
    o.integer("host_alive", t.host_alive, 0, 255);
    return t;
}

Config read_config(const json &doc) {
    const Object top(doc, json::json_pointer(), {"broker", "prefix", "terminals", "status_interval", "connect_timeout_ms",
                                                        "terminal_reconnect_min_ms", "terminal_reconnect_max_ms"});
    Config c;
    read_broker(Object(top.need("broker"), top.at() / "broker",
                       {"host", "port", "client_id", "username", "password", "keepalive", "reconnect_min_ms",
                        "reconnect_max_ms", "queue_limit", "event_qos", "tls"}),
                c.broker);
    top.text("prefix", c.prefix);
    // Levels of the prefix are topic levels themselves; no empty level, so
    // the gateway's subscriptions match exactly what it publishes.
    std::stringstream levels(c.prefix);
    std::string level;
    bool ok = !c.prefix.empty() && c.prefix.back() != '/';
    while (ok && std::getline(levels, level, '/')) ok = valid_topic_level(level);
    if (!ok) refuse(top.at() / "prefix", "'" + c.prefix + "' must be topic levels separated by '/', none empty, without '+', '#', '$' or a leading '_'");
    top.integer("status_interval", c.status_interval_s, 1, 3600);
    top.integer("connect_timeout_ms", c.connect_timeout_ms, 10, 600000);
    top.integer("terminal_reconnect_min_ms", c.terminal_reconnect_min_ms, 10, 600000);
    top.integer("terminal_reconnect_max_ms", c.terminal_reconnect_max_ms, 10, 3600000);
    if (c.terminal_reconnect_max_ms < c.terminal_reconnect_min_ms) {
        refuse(top.at() / "terminal_reconnect_max_ms", "is below terminal_reconnect_min_ms");
    }

    const json &list = top.need("terminals");
    const auto at = top.at() / "terminals";
    if (!list.is_array()) refuse(at, "must be an array");
    std::set<std::string> names;
    for (std::size_t i = 0; i < list.size(); ++i) {
        TerminalConfig t = read_terminal(Object(list[i], at / i, {"name", "address", "port", "auto_report", "host_alive"}));
        if (!names.insert(t.name).second) refuse(at / i / "name", "'" + t.name + "' is used twice");
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
    } catch (const json::parse_error &e) {
        return {std::nullopt, ConfigError{"", std::string("not JSON: ") + e.what()}};
    }
    try {
        return {read_config(doc), std::nullopt};
    } catch (const Refused &r) {
        return {std::nullopt, r.error};
    }
}

ConfigResult load_config(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {std::nullopt, ConfigError{"", "cannot read '" + path + "'"}};
    std::stringstream s;
    s << in.rdbuf();
    return parse_config(s.str());
}

}  // namespace vq6120::gateway
