// The gateway's configuration as a start or a reload reads it: any text
// through parse_config (load_config's parser, without the disk).
//
// Input: the file's text.
//
// Checked: the result is either a configuration or a non-empty list of
// errors, the first of them `error`; an accepted configuration keeps the
// rules a reload relies on (every name and the prefix usable as topic levels,
// names and endpoints unique, backoff bounds in order); and parsing the same
// text twice gives the same answer.
#include <cstdint>
#include <set>
#include <sstream>
#include <string>
#include <utility>

#include "config.hpp"

#define FUZZ_HARNESS "gateway config"
#include "fuzz_check.hpp"

namespace {

using namespace vq6120::gateway;

bool prefix_ok(const std::string &prefix) {
    if (prefix.empty() || prefix.back() == '/') return false;
    std::stringstream levels(prefix);
    std::string level;
    while (std::getline(levels, level, '/')) {
        if (!valid_topic_level(level)) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const ConfigResult r = parse_config(text);
    CHECK(r.config.has_value() != r.error.has_value());
    CHECK(r.config.has_value() == r.errors.empty());
    if (r.error) {
        CHECK(r.error->pointer == r.errors.front().pointer && r.error->message == r.errors.front().message);
        for (const ConfigError &e : r.errors) {
            CHECK(!e.message.empty());
            CHECK(e.pointer.empty() || e.pointer[0] == '/');
        }
    }
    if (r.config) {
        const Config &c = *r.config;
        CHECK(valid_topic_level(c.broker.client_id));
        CHECK(!c.broker.host.empty());
        CHECK(c.broker.port >= 1 && c.broker.port <= 65535);
        CHECK(c.broker.reconnect_min_ms <= c.broker.reconnect_max_ms);
        CHECK(c.terminal_reconnect_min_ms <= c.terminal_reconnect_max_ms);
        CHECK(c.status_interval_s >= 1 && c.connect_timeout_ms >= 10);
        CHECK(prefix_ok(c.prefix));
        if (c.sparkplug) {
            CHECK(valid_topic_level(c.sparkplug->group_id) && valid_topic_level(c.sparkplug->edge_node_id));
        }
        std::set<std::string> names;
        std::set<std::pair<std::uint32_t, std::uint16_t>> endpoints;
        for (const TerminalConfig &t : c.terminals) {
            CHECK(valid_topic_level(t.name));
            CHECK(t.port != 0);
            CHECK(names.insert(t.name).second);
            CHECK(endpoints.insert({t.address_n, t.port}).second);
        }
    }
    const ConfigResult again = parse_config(text);
    CHECK(again.config.has_value() == r.config.has_value());
    CHECK(!r.config || (again.config->broker == r.config->broker && again.config->terminals == r.config->terminals));
    CHECK(again.errors.size() == r.errors.size());
    return 0;
}
