// The service manager's notifications (sd_notify): READY=1 once the gateway
// is up, STATUS= lines a `systemctl status` shows, WATCHDOG=1 pings from the
// loop so a hung loop is restarted, RELOADING=1 / STOPPING=1. Outside a
// service manager (no NOTIFY_SOCKET) every call does nothing.
#pragma once

#include <chrono>
#include <string>

namespace vq6120::gateway {

class ServiceNotifier {
public:
    ServiceNotifier();
    // How often to ping: half the manager's WatchdogSec; zero when it set none.
    std::chrono::milliseconds watchdog_interval() const { return interval_; }
    void ready(const std::string &status);
    void status(const std::string &status);
    void watchdog();
    void reloading();
    void stopping();

private:
    void send(const std::string &state);
    std::chrono::milliseconds interval_{0};
    std::string last_status_;
};

}  // namespace vq6120::gateway
