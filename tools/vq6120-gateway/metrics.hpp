// The gateway's figures for a Prometheus scrape. The loop only adds to
// relaxed atomics (and, on the rare loss of a terminal, to a small map under
// a lock); a scrape reads them from the server's own thread and formats the
// text there, so the loop pays nothing per scrape whatever the number of
// terminals.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace vq6120::gateway {

class Metrics {
public:
    static constexpr std::array<std::string_view, 3> kStates{"online", "connecting", "offline"};
    static constexpr std::array<std::string_view, 5> kEventKinds{"key", "inputs", "serial", "model", "frame"};
    // Upper bounds of the event latency buckets, seconds.
    static constexpr std::array<double, 14> kLatencyBounds{0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
                                                           0.025,  0.05,    0.1,    0.25,  0.5,    1,     5};

    explicit Metrics(std::vector<std::string> operations);

    // The loop's side.
    void terminal_added(std::string_view state);
    void terminal_removed(std::string_view state);
    void terminal_shown(std::string_view from, std::string_view to, std::string_view reason);
    void event(std::string_view subtopic);
    // An event that changed no value: nothing published.
    void unchanged() { unchanged_.fetch_add(1, std::memory_order_relaxed); }
    void command(std::size_t operation);  // index into the operations given
    void refused() { refused_.fetch_add(1, std::memory_order_relaxed); }
    // Of those refused: the picture queue or a terminal's queue behind a picture was full.
    void busy() { busy_.fetch_add(1, std::memory_order_relaxed); }
    // Of those refused: the terminal was behind (too much waits for it).
    void behind() { behind_.fetch_add(1, std::memory_order_relaxed); }
    void published(std::chrono::steady_clock::duration since_read);
    void broker(bool connected, std::uint64_t connects, std::size_t queued, std::uint64_t dropped);
    void primary_host(bool online) { primary_host_online_.store(online, std::memory_order_relaxed); }
    // Active/standby: 1 while this gateway is active (always, without redundancy).
    void role(bool active) { active_.store(active, std::memory_order_relaxed); }
    void host_state_refused() { host_states_refused_.fetch_add(1, std::memory_order_relaxed); }
    // Events waiting for the broker (the store, or the memory queue).
    void backlog(std::size_t events, std::uint64_t bytes, std::uint64_t dropped);
    void reloaded(bool ok) { (ok ? reloads_ : reload_failures_).fetch_add(1, std::memory_order_relaxed); }

    // Totals, for the JSON status; safe from any thread.
    std::uint64_t events_total() const;
    std::uint64_t commands_total() const;
    std::uint64_t refused_total() const { return refused_.load(std::memory_order_relaxed); }
    std::uint64_t behind_total() const { return behind_.load(std::memory_order_relaxed); }

    // Prometheus text exposition format 0.0.4; safe from any thread.
    std::string render() const;

private:
    using Counter = std::atomic<std::uint64_t>;
    static std::size_t state_index(std::string_view state);
    std::array<std::atomic<std::int64_t>, kStates.size()> terminals_{};
    Counter connects_{0};
    std::array<Counter, kEventKinds.size()> events_{};
    Counter unchanged_{0};
    std::vector<std::string> operations_;
    std::unique_ptr<Counter[]> commands_;
    Counter refused_{0};
    Counter busy_{0};
    Counter behind_{0};
    std::array<Counter, kLatencyBounds.size() + 1> latency_{};  // per bucket, the last one beyond every bound
    Counter latency_ns_{0};
    std::atomic<bool> broker_connected_{false};
    Counter broker_connects_{0};
    std::atomic<std::size_t> queued_{0};
    Counter dropped_{0};
    Counter reloads_{0}, reload_failures_{0};
    std::atomic<bool> primary_host_online_{false};
    Counter host_states_refused_{0};
    std::atomic<bool> active_{true};
    Counter stored_{0}, stored_bytes_{0}, store_dropped_{0};
    mutable std::mutex reasons_lock_;
    std::map<std::string, std::uint64_t, std::less<>> losses_;    // from online, by reason
    std::map<std::string, std::uint64_t, std::less<>> failures_;  // connect attempts that failed, by reason
};

}  // namespace vq6120::gateway
