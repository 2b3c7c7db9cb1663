// Many virtual terminals in one process: terminal i listens on its own port
// and behaves exactly as the single simulator (one host at a time, the same
// model, the same answers). One thread serves them all through one readiness
// loop (os/os.hpp) and one heap of deadlines. On top: traffic on its own
// (serial data carrying a sequence number and the send time, or key presses)
// and faults on demand, for the tests and benchmarks of hosts that drive
// many terminals.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <ostream>
#include <queue>
#include <span>
#include <string>
#include <vector>

#include "os/os.hpp"
#include "farm/script.hpp"
#include "session/session.hpp"
#include "model/terminal.hpp"

namespace vq6120::sim {

struct FarmOptions {
    std::string address = "127.0.0.1";
    std::uint16_t port = 16120;  // terminal i listens on port + i; 0: each on a free port
    std::size_t terminals = 1;
    bool verbose = false;  // log every frame, decoded
    int input_fd = -1;     // operator commands, one a line (e.g. 0 for stdin)
    int backlog = 64;      // listen backlog of each terminal
};

// The traffic payload: 16 bytes, the sequence number (from 0, per terminal)
// then the CLOCK_MONOTONIC send time in nanoseconds, both unsigned 64-bit
// little-endian.
inline constexpr std::size_t kTrafficPayloadSize = 16;
struct TrafficStamp {
    std::uint64_t sequence = 0;
    std::uint64_t sent_ns = 0;
};
std::optional<TrafficStamp> read_traffic_stamp(std::span<const std::uint8_t> payload);

// What the read API tells about one terminal.
struct FarmTerminalState {
    std::uint16_t port = 0;
    bool host_connected = false;
    std::string host;  // "ADDRESS:PORT" of the connected host, empty when none
    bool frozen = false;
    bool silent = false;
    bool not_accepting = false;
    bool down = false;  // listener closed by restart, not yet open again
    std::uint64_t connections = 0;  // hosts taken
    std::uint64_t refused = 0;      // hosts refused while one was connected
    std::uint64_t traffic_sent = 0; // traffic frames sent
};

class Farm {
public:
    Farm(FarmOptions options, std::ostream &out, std::ostream &log);
    ~Farm();
    Farm(const Farm &) = delete;
    Farm &operator=(const Farm &) = delete;

    // Raises the descriptor limit as needed, binds and listens on every
    // port; false with `error` set when it cannot (nothing stays open).
    bool open(std::string &error);
    // "ports: 41000-41999" for consecutive ports, otherwise each port
    // ("ports: 40211 40987 ..."), in terminal order.
    std::string ports_line() const;

    // Operator commands, checked first: a line that does not parse stops
    // here with `error` set to "SOURCE:LINE: ...". Call before run().
    bool add_commands(const std::vector<std::string> &lines, const std::string &source, std::string &error);

    // Serves until `quit` or stop(). Returns the exit status.
    int run();

    // Thread-safe; stop() is also safe in a signal handler.
    void stop() noexcept;
    // Queues one operator command line.
    void post(const std::string &line);
    // Runs one operator command and waits until the loop has carried it out
    // (run() must be running). False, with `error` set, when it does not
    // parse or the farm stopped first.
    bool command(const std::string &line, std::string *error = nullptr);

    // The read API (thread-safe): the count, and per terminal its state and a
    // copy of its model.
    std::size_t size() const noexcept { return slots_.size(); }
    std::uint16_t port(std::size_t i) const;
    FarmTerminalState state(std::size_t i) const;
    Terminal terminal(std::size_t i) const;
    // A live view's window on every terminal: set after open(), before run().
    void watch(Watcher *watcher) noexcept;

private:
    struct Slot;
    struct Pending {
        FarmCommand command;
        std::uint64_t id = 0;
    };
    using Deadline = std::pair<Clock::time_point, std::size_t>;

    bool queue_line(const std::string &line, const std::string &where, std::uint64_t id, std::string *error);
    void on_event(const os::Loop::Event &e, Clock::time_point now);
    void accept_hosts(std::size_t i, Clock::time_point now);
    bool read_host(std::size_t i, Clock::time_point now);  // false: nothing more to read now
    void write_host(std::size_t i);
    void drop_host(std::size_t i, const std::string &why);
    void send(std::size_t i, const OutFrame &f);
    void on_time(std::size_t i, Clock::time_point now);
    void schedule(std::size_t i);
    Clock::time_point traffic_start(std::size_t i, Clock::time_point now) const;
    void update_watch(std::size_t i);
    void read_input();
    void take_lines(bool flush);
    void run_commands(Clock::time_point now);
    bool run_one(const FarmCommand &c, Clock::time_point now);  // false: wait
    void apply(std::size_t i, const FarmCommand &c, Clock::time_point now);
    void stop_accepting(std::size_t i);
    void start_accepting(std::size_t i);
    bool reopen(std::size_t i);
    void close_slot(std::size_t i);
    std::string status_line(std::size_t i) const;
    std::string summary() const;
    FarmTerminalState state_locked(std::size_t i) const;

    FarmOptions options_;
    std::ostream &out_;
    std::ostream &log_;
    os::Loop loop_;
    std::vector<std::unique_ptr<Slot>> slots_;
    bool input_watched_ = false;
    std::string input_line_;
    std::size_t input_lines_ = 0;
    std::atomic<bool> stop_{false};
    bool quit_ = false;
    Watcher *watcher_ = nullptr;

    mutable std::mutex mutex_;  // guards everything below against the thread-safe calls
    std::condition_variable done_changed_;
    std::deque<Pending> commands_;
    std::vector<std::pair<std::string, std::uint64_t>> posted_;
    std::uint64_t next_id_ = 1;
    std::uint64_t done_id_ = 0;
    bool stopped_ = false;
    std::optional<Clock::time_point> wait_until_;
    std::priority_queue<Deadline, std::vector<Deadline>, std::greater<>> deadlines_;
    std::vector<std::size_t> dirty_;  // terminals with output to write
};

}  // namespace vq6120::sim
