// vq6120/poller/liveness.hpp: a terminal's liveness deadlines while online,
// the silence that loses it and the host-alive signals it is sent. Part of
// vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "vq6120/endpoint.hpp"
#include "vq6120/poller/due_heap.hpp"

namespace vq6120::detail {

// TerminalConfig::auto_report and host_alive_seconds as deadlines: silent
// once no frame came for three and a half report periods, a host-alive
// signal due every third of the terminal's check.
class Liveness {
public:
    Liveness() = default;
    Liveness(std::uint8_t auto_report, std::uint8_t host_alive_seconds) noexcept
        : auto_report_(auto_report), alive_seconds_(host_alive_seconds) {}

    static constexpr std::chrono::milliseconds silence_bound(std::uint8_t auto_report) noexcept {
        return std::chrono::milliseconds{350} * auto_report;
    }
    static constexpr std::chrono::milliseconds alive_interval(std::uint8_t seconds) noexcept {
        return std::chrono::milliseconds{1000} * seconds / 3;
    }

    // Online now; the first host-alive signal has just gone out.
    void start(Clock::time_point now) noexcept {
        last_received_ = now;
        next_alive_ = alive_seconds_ != 0 ? now + alive_interval(alive_seconds_) : kNever;
    }
    // Offline: nothing more is due.
    void stop() noexcept { next_alive_ = kNever; }
    // A whole frame came.
    void received(Clock::time_point now) noexcept { last_received_ = now; }

    bool silent(Clock::time_point now) const noexcept {
        return auto_report_ != 0 && now >= last_received_ + silence_bound(auto_report_);
    }
    bool alive_due(Clock::time_point now) const noexcept { return now >= next_alive_; }
    // A signal went out: the next one an interval after the one due, or now
    // when the loop fell so far behind that it is already past.
    void alive_sent(Clock::time_point now) noexcept {
        next_alive_ = std::max(next_alive_ + alive_interval(alive_seconds_), now);
    }
    // The earliest of the two deadlines.
    Clock::time_point next() const noexcept {
        return auto_report_ != 0 ? std::min(next_alive_, last_received_ + silence_bound(auto_report_)) : next_alive_;
    }

private:
    std::uint8_t auto_report_ = 0;
    std::uint8_t alive_seconds_ = 0;
    Clock::time_point last_received_{};
    Clock::time_point next_alive_ = kNever;
};

}  // namespace vq6120::detail
