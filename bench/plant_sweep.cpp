// The baseline for many terminals on one thread: what the original calls
// allow, a sweep of GetDataFromEthernet(wait 0) over every handle, again and
// again. It sees an event no later than one sweep after it arrives, and it
// spins a core doing so.
#include <cstdio>
#include <vector>

#include "VQ6120_LIB.h"
#include "plant_common.hpp"
#include "plant_events.hpp"

namespace vq6120::bench {

EventFigures sweep_terminals(std::vector<VQ6120_HANDLE> &handles, double seconds, std::size_t expected_events) {
    EventFigures figures;
    figures.latency_us.reserve(expected_events + expected_events / 4);
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    const std::int64_t cpu_start = thread_cpu_ns();
    const std::int64_t start = monotonic_ns();
    figures.since_ns = start;
    const auto end = start + static_cast<std::int64_t>(seconds * 1e9);
    std::int64_t now = start;
    while (now < end) {
        for (VQ6120_HANDLE &h : handles) {
            if (h == nullptr) {
                continue;
            }
            for (;;) {
                std::int32_t length = sizeof payload;
                const std::int32_t r = GetDataFromEthernet(h, payload, &length, 0);
                if (r == VQ6120_RECV_NOTHING) {
                    break;
                }
                if (r == VQ6120_RECV_CLOSED) {
                    ExitVQ6120(h);
                    h = nullptr;
                    ++figures.lost;
                    break;
                }
                if (r == VQ6120_RECV_SERIAL_1 || r == VQ6120_RECV_SERIAL_2) {
                    figures.record({payload, static_cast<std::size_t>(length)}, monotonic_ns());
                }
            }
        }
        ++figures.sweeps;
        now = monotonic_ns();
    }
    figures.cpu_ns = thread_cpu_ns() - cpu_start;
    figures.wall_ns = now - start;
    return figures;
}

}  // namespace vq6120::bench
