#include "metrics_server.hpp"

#include <arpa/inet.h>
#include <httplib.h>

#include <stdexcept>

#include "metrics.hpp"

namespace vq6120::gateway {

std::optional<Listen> parse_listen(const std::string &text) {
    Listen l;
    std::string port = text;
    if (const auto colon = text.rfind(':'); colon != std::string::npos) {
        l.address = text.substr(0, colon);
        port = text.substr(colon + 1);
        in_addr a{};
        if (inet_pton(AF_INET, l.address.c_str(), &a) != 1) return std::nullopt;
    }
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return std::nullopt;
    const int n = std::stoi(port);
    if (n > 65535) return std::nullopt;
    l.port = static_cast<std::uint16_t>(n);
    return l;
}

MetricsServer::MetricsServer(const Metrics &metrics, const Listen &where) : server_(std::make_unique<httplib::Server>()) {
    // One worker: scrapes come seldom, and each costs the gateway a thread.
    server_->new_task_queue = [] { return new httplib::ThreadPool(1); };
    server_->set_tcp_nodelay(true);  // the answer goes at once, not after the scraper's delayed ACK
    server_->Get("/metrics", [&metrics](const httplib::Request &, httplib::Response &res) {
        res.set_content(metrics.render(), "text/plain; version=0.0.4; charset=utf-8");
    });
    const int port = where.port == 0 ? server_->bind_to_any_port(where.address) : (server_->bind_to_port(where.address, where.port) ? where.port : -1);
    if (port <= 0) throw std::runtime_error("metrics: cannot listen on " + where.address + ":" + std::to_string(where.port));
    port_ = static_cast<std::uint16_t>(port);
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

MetricsServer::~MetricsServer() {
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

}  // namespace vq6120::gateway
