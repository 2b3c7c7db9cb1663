// Events from many terminals on one host thread: what a run collects, and the
// two ways of serving the terminals that are measured against each other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "VQ6120_LIB.h"
#include "loopback.hpp"

namespace vq6120::bench {

struct EventFigures {
    std::vector<double> latency_us;  // from the farm's send stamp to the host's handling
    std::uint64_t unstamped = 0;     // serial payloads without a readable stamp
    std::uint64_t lost = 0;          // terminals that went offline during the run
    std::uint64_t sweeps = 0;        // full passes over the handles (the baseline only)
    std::int64_t cpu_ns = 0;         // the host thread's CPU time
    std::int64_t wall_ns = 0;
    std::int64_t since_ns = 0;       // events sent before this (monotonic) are not counted

    // Takes one serial payload from the farm, handled at `now_ns`.
    void record(std::span<const std::uint8_t> payload, std::int64_t now_ns);
    std::size_t events() const { return latency_us.size(); }
};

// The floor of the platform: raw sockets connected to the given ports, one
// level-triggered epoll set, each ready socket read once into its own
// buffer and its whole frames cut out, no library in between. What any loop
// on this machine pays per event.
class RawTerminals {
public:
    explicit RawTerminals(const std::vector<std::uint16_t> &ports);
    EventFigures serve(double seconds, std::size_t expected_events);

private:
    struct Link {
        Fd fd;
        std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(4096);
        std::size_t held = 0;
    };
    Fd epoll_;
    std::vector<Link> links_;
};

// Serves `handles` (opened with InitialVQ6120) for `seconds` by sweeping
// GetDataFromEthernet(wait 0) over them. Handles that close are released
// and set to null.
EventFigures sweep_terminals(std::vector<VQ6120_HANDLE> &handles, double seconds, std::size_t expected_events);

}  // namespace vq6120::bench
