// What the live view learns from the simulator's loop as it happens: per
// terminal, from the simulator's start, a log of the frames both ways and of
// the serial ports' traffic, bounded per terminal and over all terminals
// together; and a version that moves on every change, for the HTTP threads to
// wait on.
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
    // Over every terminal's logs together (a farm's): the oldest entries go
    // first once the texts take more than this many bytes, or there are more
    // than this many entries.
    static constexpr std::size_t kKeepBytes = std::size_t{8} << 20;
    static constexpr std::size_t kKeepEntries = std::size_t{1} << 16;

    // The loop's side.
    bool wants(std::size_t terminal) const override;
    void frame(std::size_t terminal, bool from_host, const OutFrame &frame, const std::string &decoded) override;
    void turned() override;

    // The HTTP threads' side.
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
    // Where an entry went, oldest first, for the bound over all terminals.
    struct Kept {
        std::uint64_t seq = 0;
        std::size_t terminal = 0;
        bool serial = false;
    };
    void push(std::size_t terminal, bool serial, FeedEntry entry);
    std::vector<FeedEntry> after(std::size_t terminal, std::deque<FeedEntry> Logs::*log, std::uint64_t seq) const;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::uint64_t version_ = 1;
    std::uint64_t seq_ = 0;
    bool closed_ = false;
    std::map<std::size_t, Logs> logs_;  // terminals with entries kept
    std::deque<Kept> order_;
    std::size_t bytes_ = 0;  // what the kept entries take
};

}  // namespace vq6120::sim
