#include "service.hpp"

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <cstdint>

#include "log.hpp"

namespace vq6120::gateway {

ServiceNotifier::ServiceNotifier() {
    std::uint64_t usec = 0;
    // WATCHDOG_USEC (and WATCHDOG_PID, when set, naming this process).
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        interval_ = std::chrono::milliseconds(std::max<std::uint64_t>(usec / 2000, 1));
    }
}

void ServiceNotifier::send(const std::string &state) {
    const int rc = sd_notify(0, state.c_str());
    if (rc < 0) log(Level::warning, "service manager: cannot notify (" + std::to_string(-rc) + ")");
}

void ServiceNotifier::ready(const std::string &status) {
    last_status_ = status;
    send("READY=1\nSTATUS=" + status);
}

void ServiceNotifier::status(const std::string &status) {
    if (status == last_status_) return;
    last_status_ = status;
    send("STATUS=" + status);
}

void ServiceNotifier::watchdog() { send("WATCHDOG=1"); }

void ServiceNotifier::reloading() {
    // MONOTONIC_USEC lets a newer manager tell this reload from an older one.
    const auto now = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch());
    send("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(now.count()));
}

void ServiceNotifier::stopping() { send("STOPPING=1"); }

}  // namespace vq6120::gateway
