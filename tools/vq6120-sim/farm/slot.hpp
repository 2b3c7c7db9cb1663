// The farm's own parts, shared by its source files: one terminal's slot and
// the loop's tags.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "farm/farm.hpp"

namespace vq6120::sim {

inline constexpr std::uint64_t kInputTag = os::Loop::kWakeTag - 1;
// Tags: terminal index times two, plus 0 for its listener, 1 for its host.
constexpr std::uint64_t listener_tag(std::size_t i) { return std::uint64_t{i} * 2; }
constexpr std::uint64_t host_tag(std::size_t i) { return std::uint64_t{i} * 2 + 1; }

struct Farm::Slot {
    std::uint16_t port = 0;
    std::string who;  // "terminal 7: " in front of its log lines
    os::Socket listener = os::kNoSocket;
    os::Socket host = os::kNoSocket;
    std::string holder;  // the connected host's address
    HostLink link;
    Terminal terminal;
    bool frozen = false;
    bool silent = false;
    bool not_accepting = false;
    std::optional<Clock::time_point> reopen_at;  // restarted: listener closed until then
    // Our own connections that keep the accept queue full, and their
    // addresses, so they are recognised and let go once accepting again.
    std::vector<os::Socket> fillers;
    std::vector<std::string> filler_names;
    bool watch_read = false;
    bool watch_write = false;
    // Traffic: frames per second (0 off), serial port or 0 for keys.
    double rate = 0;
    int traffic_port = 1;
    Clock::time_point next_traffic{};
    std::uint64_t sequence = 0;
    std::optional<Clock::time_point> queued;  // earliest entry of ours in the deadline heap
    std::uint64_t connections = 0;
    std::uint64_t refused = 0;
    bool dirty = false;

    bool connected() const noexcept { return host != os::kNoSocket; }
};

}  // namespace vq6120::sim
