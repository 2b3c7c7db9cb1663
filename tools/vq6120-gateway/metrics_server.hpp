// GET /metrics over HTTP from a thread of its own: the loop is never asked
// for anything, a scrape only reads the Metrics' atomics.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace httplib {
class Server;
}

namespace vq6120::gateway {

class Metrics;

struct Listen {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;
};
// "PORT" (on loopback) or "ADDRESS:PORT" with a dotted IPv4 address; nullopt
// when it is neither.
std::optional<Listen> parse_listen(const std::string &text);

class MetricsServer {
public:
    // Throws when the address cannot be bound.
    MetricsServer(const Metrics &metrics, const Listen &where);
    ~MetricsServer();
    MetricsServer(const MetricsServer &) = delete;
    MetricsServer &operator=(const MetricsServer &) = delete;
    std::uint16_t port() const { return port_; }

private:
    std::unique_ptr<httplib::Server> server_;
    std::uint16_t port_ = 0;
    std::thread thread_;
};

}  // namespace vq6120::gateway
