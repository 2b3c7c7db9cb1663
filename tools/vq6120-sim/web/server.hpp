// The live view: an HTTP server on threads of its own that shows the virtual
// terminal (or any of a farm's, `?t=N`) in a browser and lets a person use
// it. It reads the terminals through their snapshots and the feed, and acts
// only through posted operator commands, so the loop stays single-threaded.
//
// Anyone who reaches the page can press keys and set inputs: it listens only
// on the address it is given (loopback in every example).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "web/feed.hpp"
#include "web/source.hpp"

namespace httplib {
class Server;
}

namespace vq6120::sim {

struct LiveOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 0;  // 0: any free port
    // Each open event stream holds one of the server's threads; past this
    // many, a page is told to poll /state.json instead, so the JSON and POST
    // requests always find a thread.
    int max_streams = 8;
};

// "ADDRESS:PORT" as --http takes it; false with `error` set when malformed.
bool parse_http_address(const std::string &text, LiveOptions &options, std::string &error);

class LiveView {
public:
    // Give the loop watcher() before it runs; the view must outlive run().
    LiveView(std::unique_ptr<LiveSource> source, LiveOptions options);
    ~LiveView();
    LiveView(const LiveView &) = delete;
    LiveView &operator=(const LiveView &) = delete;

    // Binds and starts serving on its own threads; false with `error` set.
    bool start(std::string &error);
    std::uint16_t port() const noexcept { return port_; }
    std::string url() const;
    Watcher *watcher() noexcept { return &feed_; }
    // Ends the event streams and the server; waits for its threads.
    void stop();

private:
    void routes();

    std::unique_ptr<LiveSource> source_;
    LiveFeed feed_;
    LiveOptions options_;
    std::unique_ptr<httplib::Server> http_;
    std::thread thread_;
    std::uint16_t port_ = 0;
    std::atomic<int> streams_{0};
};

}  // namespace vq6120::sim
