// vq6120/poller/backoff.hpp: a terminal's reconnect delays and the rule that
// starts them over. Part of vq6120.hpp; include that.
#pragma once

#include <algorithm>
#include <chrono>
#include <random>

#include "vq6120/endpoint.hpp"
#include "vq6120/poller/config.hpp"

namespace vq6120::detail {

// The failures and attempts counted since the backoff last started over,
// and the proof of reading that lets it start over (see Backoff).
class Reconnects {
public:
    // initial x 2^failures, at most `maximum`, times a random factor in
    // [1 - jitter, 1 + jitter]; never past a year.
    template <class Random>
    static std::chrono::milliseconds delay(const Backoff &b, unsigned failures, Random &random) {
        double ms = static_cast<double>(b.initial.count());
        for (unsigned i = 0; i < failures && ms < static_cast<double>(b.maximum.count()); ++i) {
            ms *= 2;
        }
        ms = std::min(ms, static_cast<double>(b.maximum.count()));
        const double j = std::clamp(b.jitter, 0.0, 1.0);
        std::uniform_real_distribution<double> factor(1.0 - j, 1.0 + j);
        const double year = 365.0 * 24 * 3600 * 1000;
        return std::chrono::milliseconds{static_cast<long long>(std::clamp(ms * factor(random), 0.0, year))};
    }

    // Attempts since the backoff last started over (1 = the first).
    unsigned attempt() const noexcept { return attempt_; }
    unsigned failures() const noexcept { return failures_; }

    void attempt_started() noexcept { ++attempt_; }
    // The wait before the next attempt, counted as one more failure.
    template <class Random>
    std::chrono::milliseconds next_wait(const Backoff &b, Random &random) {
        return delay(b, failures_++, random);
    }

    // Online again: this time's proof is still to come.
    void online() noexcept { read_this_time_ = false; }
    // Nothing waited for the terminal `online_for` after it came online.
    void drained(Clock::duration online_for, const Backoff &b) noexcept {
        if (online_for >= b.reset_after) {
            proved_reading_ = read_this_time_ = true;
        }
    }
    // Lost after `online_for` online. It starts over when it was online long
    // enough and proved it reads: this time, after a loss for not reading;
    // at all since its last such loss, after any other.
    void lost(Clock::duration online_for, bool not_reading, const Backoff &b) noexcept {
        if (online_for >= b.reset_after && (not_reading ? read_this_time_ : proved_reading_)) {
            failures_ = 0;
            attempt_ = 0;
        }
        proved_reading_ = proved_reading_ && !not_reading;
    }

private:
    unsigned failures_ = 0;
    unsigned attempt_ = 0;
    bool proved_reading_ = true;   // not lost for "not reading" since it last read
    bool read_this_time_ = false;  // proved it reads while online this time
};

}  // namespace vq6120::detail
