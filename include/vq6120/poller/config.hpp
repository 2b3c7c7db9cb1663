// vq6120/poller/config.hpp: what a host gives the Poller and what it hands
// back: a terminal's configuration, its states and their changes, and the
// reconnect delays. Part of vq6120.hpp; include that.
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "VQ6120_LIB.h"
#include "vq6120/endpoint.hpp"

namespace vq6120 {

using TerminalId = std::uint64_t;

// A terminal's life in a Poller:
//   Connecting -> Online -> Lost -> Waiting -> Connecting -> ...
//   Connecting -> Waiting            (refused, failed or timed out)
enum class State : std::uint8_t { Connecting, Online, Lost, Waiting };

constexpr std::string_view to_string(State s) noexcept {
    switch (s) {
    case State::Connecting:
        return "connecting";
    case State::Online:
        return "online";
    case State::Lost:
        return "lost";
    case State::Waiting:
        return "waiting";
    }
    return "?";
}

struct StateChange {
    TerminalId id = 0;
    State state = State::Waiting;
    void *user = nullptr;         // TerminalConfig::user
    std::string_view reason;      // Lost, and Waiting after a failed attempt; else empty
    Clock::time_point retry_at{}; // Waiting: when the next attempt starts
    unsigned attempt = 0;         // Connecting: attempts since the backoff was last reset (1 = first)
};

struct TerminalConfig {
    Endpoint endpoint;
    // A connect attempt that has not completed by then is abandoned.
    std::chrono::milliseconds connect_limit{1000};
    // Liveness by the terminal's own auto report: once online the terminal is
    // asked to report its inputs every N x 100 ms (SetAutoReportTime N); when
    // no frame is delivered for 3.5 x N x 100 ms (three reports missed) the
    // terminal is lost with reason "no auto report". 0: not used. The reports
    // are delivered as DigitalInputs events; any delivered frame counts as a
    // sign of life.
    std::uint8_t auto_report = 0;
    // Host-alive: once online SetHostAliveCheck(N) is sent, then SendHostAlive
    // every N/3 seconds for as long as it is online, so two signals may go
    // astray before the terminal counts the host as lost.
    // 0: not used.
    std::uint8_t host_alive_seconds = 0;
    // TCP keepalive once online (VQ6120Ex_SetKeepAlive); idle 0: not used. It
    // notices a cable pulled or a peer machine gone, but not a terminal
    // program that hangs while its system still answers for it: the auto
    // report notices both. A link the kernel gives up on is lost with reason
    // "connection closed".
    int keepalive_idle_seconds = 0;
    int keepalive_interval_seconds = 1;
    int keepalive_count = 3;
    // The most that may wait for the terminal (its send queue and the
    // system's send buffer), at least VQ6120_SEND_QUEUE_MIN; a command that
    // would pass it is refused whole.
    std::int32_t send_queue_limit = VQ6120_SEND_QUEUE_DEFAULT;
    // Poller::behind() from this many waiting bytes on; 0: half the limit.
    std::int32_t high_water = 0;
    // The bound of the library's stall rule (bytes wait and the terminal
    // takes less than a sixteenth of the limit, 16 KiB by default, and less
    // than what waited) as the Poller judges it on its clock: lost with
    // reason "not reading". Below the library's own bound
    // (VQ6120_SEND_STALL_SECONDS), so the Poller judges first; a connection
    // the library ends by the rule is "not reading" as well.
    std::chrono::milliseconds send_stall{VQ6120_SEND_STALL_SECONDS * 1000 - 1000};
    // Handed back in every StateChange and event.
    void *user = nullptr;
};

// Reconnect delays. After a loss or failed attempt the wait is
// initial x 2^k, at most `maximum`, each scaled by a random factor in
// [1 - jitter, 1 + jitter] so that a plant of terminals that all dropped at
// once does not reconnect in lock step; k counts the failures since the
// terminal was last online for at least `reset_after`. Defaults: 0.5 s
// doubling to 30 s, +-25 %, reset after 10 s online. The first attempt after
// add() starts at once.
//
// A terminal must prove it reads before a loss for "not reading" resets its
// backoff, and after one, before any loss does: the proof is that at least
// `reset_after` after it came online the Poller saw nothing waiting for it
// (every byte sent to it taken). Without that, a terminal that holds its
// connection but takes nothing would win a fresh backoff each time and cycle
// for ever.
struct Backoff {
    std::chrono::milliseconds initial{500};
    std::chrono::milliseconds maximum{30000};
    double jitter = 0.25;
    std::chrono::milliseconds reset_after{10000};
};

}  // namespace vq6120
