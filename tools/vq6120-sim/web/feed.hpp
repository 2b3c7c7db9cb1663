// What the live view learns from the simulator's loop as it happens: per
// terminal that a page follows, a log of the frames both ways and of the
// serial ports' traffic, each bounded; and a version that moves on every
// change, for the HTTP threads to wait on.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "session/session.hpp"

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
    bool wants(std::size_t terminal) const override;
    void frame(std::size_t terminal, bool from_host, const OutFrame &frame, const std::string &decoded) override;
    void turned() override;

    // The HTTP threads' side. Logs are kept from follow() on (a farm's
    // terminals nobody looks at cost nothing).
    void follow(std::size_t terminal);
    // Returns once the version differs from `seen`, the feed is closed, or
    // `timeout` passed; returns the version.
    std::uint64_t wait(std::uint64_t seen, std::chrono::milliseconds timeout);
    std::uint64_t version() const;
    // Entries with seq above `after`, oldest first.
    std::vector<FeedEntry> frames_after(std::size_t terminal, std::uint64_t after) const;
    std::vector<FeedEntry> serial_after(std::size_t terminal, std::uint64_t after) const;
    // Wakes every waiter for good (the server is stopping).
    void close();
    bool closed() const;

private:
    struct Logs {
        std::deque<FeedEntry> frames;
        std::deque<FeedEntry> serial;
    };
    void push(std::deque<FeedEntry> &log, FeedEntry entry);
    std::vector<FeedEntry> after(std::size_t terminal, std::deque<FeedEntry> Logs::*log, std::uint64_t seq) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 1;
    std::uint64_t seq_ = 0;
    bool closed_ = false;
    std::map<std::size_t, Logs> logs_;
};

}  // namespace vq6120::sim
