// What the live view learns from the simulator's loop as it happens: a log of
// the frames both ways and the serial ports' traffic, each bounded, and a
// version that moves on every change, for the HTTP threads to wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "server.hpp"

namespace vq6120::sim {

struct FeedEntry {
    std::uint64_t seq = 0;
    std::int64_t time_ms = 0;  // wall clock, milliseconds since the epoch
    bool from_host = false;
    int port = 0;              // serial entries: 1 or 2
    std::string text;          // frames: decoded; serial entries: the bytes
};

class LiveFeed : public Watcher {
public:
    static constexpr std::size_t kKeep = 300;  // entries kept per log

    // The loop's side.
    void frame(bool from_host, const OutFrame &frame, const std::string &decoded) override;
    void turned() override;

    // The HTTP threads' side. wait() returns once the version differs from
    // `seen`, the feed is closed, or `timeout` passed; it returns the version.
    std::uint64_t wait(std::uint64_t seen, std::chrono::milliseconds timeout);
    std::uint64_t version() const;
    // Entries with seq above `after`, oldest first.
    std::vector<FeedEntry> frames_after(std::uint64_t after) const;
    std::vector<FeedEntry> serial_after(std::uint64_t after) const;
    // Wakes every waiter for good (the server is stopping).
    void close();
    bool closed() const;

private:
    void push(std::deque<FeedEntry> &log, FeedEntry entry);
    static std::vector<FeedEntry> after(const std::deque<FeedEntry> &log, std::uint64_t seq);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 1;
    std::uint64_t seq_ = 0;
    bool closed_ = false;
    std::deque<FeedEntry> frames_;
    std::deque<FeedEntry> serial_;
};

}  // namespace vq6120::sim
