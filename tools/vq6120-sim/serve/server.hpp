// The network side and the operator side of the virtual terminal, in one
// single-threaded readiness loop (os/os.hpp): one host connection at a time, operator
// commands from a script, standard input or post(), and the terminal's timers
// on the monotonic clock.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "os/os.hpp"
#include "session/script.hpp"
#include "session/session.hpp"
#include "model/terminal.hpp"

namespace vq6120::sim {

struct Options {
    std::string address = "127.0.0.1";
    std::uint16_t port = 16120;  // 0: any free port
    bool verbose = false;        // log every frame, decoded
    int input_fd = -1;           // operator commands, one a line (e.g. 0 for stdin)
    std::string snapshot_on_exit;
};

class Simulator {
public:
    Simulator(Options options, std::ostream &out, std::ostream &log);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Binds and listens; false with `error` set when it cannot.
    bool open(std::string &error);
    std::uint16_t port() const noexcept { return port_; }

    // Operator commands to run in order before any that arrive later; a line
    // that does not parse is logged as `source:LINE: error: ...` and skipped.
    void add_commands(const std::vector<std::string> &lines, const std::string &source = "script");

    // Serves until `quit` or stop(). Returns the exit status.
    int run();

    // Thread-safe; stop() is also safe in a signal handler.
    void stop() noexcept;
    void post(const std::string &line);
    Terminal terminal() const;
    bool host_connected() const;
    std::uint64_t connections_refused() const;
    // Set before run(); the watcher must outlive run().
    void watch(Watcher *watcher) noexcept { watcher_ = link_.watcher = watcher; }

private:
    struct Pending {
        std::string line;
        ScriptCommand command;
    };
    void accept_host(Clock::time_point now);
    bool read_host(Clock::time_point now);  // whether it read anything
    void write_host();
    void drop_host(const std::string &why);
    void read_input();
    void take_lines(std::string &buffer, bool flush);
    void queue_line(const std::string &line, const std::string &where);
    void run_commands(Clock::time_point now);
    void send(const OutFrame &frame);
    void send_all(const std::vector<OutFrame> &frames);
    void finish();

    Options options_;
    std::ostream &out_;
    std::ostream &log_;
    static constexpr std::uint64_t kListenerTag = 0, kHostTag = 1, kInputTag = 2;
    os::Loop loop_;
    os::Socket listener_ = os::kNoSocket;
    os::Socket host_ = os::kNoSocket;
    int input_fd_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    bool quit_ = false;
    Watcher *watcher_ = nullptr;

    mutable std::mutex mutex_;  // guards everything below against post() and the readers
    Terminal terminal_;
    bool connected_ = false;
    std::uint64_t refused_ = 0;
    HostLink link_;
    std::string holder_;  // the connected host's address, for refusals
    std::string input_line_;
    std::size_t input_lines_ = 0;
    std::deque<Pending> commands_;
    std::vector<std::string> posted_;
    std::optional<Clock::time_point> wait_until_;
};

}  // namespace vq6120::sim
