// What the plant-scale measurements share: CPU clocks, order statistics, the
// machine's state for the record, and the simulator farm as a child process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vq6120::bench {

// CPU time in nanoseconds consumed so far by the calling thread, and by the
// whole process (user and system alike: on loopback the kernel's share of a
// send is most of its cost, and it is charged to the sender).
std::int64_t thread_cpu_ns();
std::int64_t process_cpu_ns();
// CLOCK_MONOTONIC in nanoseconds: the clock the farm stamps its traffic with.
std::int64_t monotonic_ns();

// The arithmetic mean of `v`; 0 for an empty set.
double mean(const std::vector<double> &v);
// The p-th percentile (0..100) of `v` by nearest rank; 0 for an empty set.
double percentile(std::vector<double> v, double p);

// Raises the soft descriptor limit to `wanted` (or to the hard limit, if that
// is lower). Returns the soft limit in force afterwards.
std::uint64_t raise_descriptor_limit(std::uint64_t wanted);

// "2 cores, load 0.31 0.52 0.60": printed with every figure, because the
// machine is shared and the figures depend on what else runs.
std::string machine_note();
// The three load averages, "0.31 0.52 0.60".
std::string load_average();

// A `vq6120-sim --terminals N` process serving N terminals, each on a free
// port, started on construction and stopped (SIGTERM, then reaped) on
// destruction. Its operator commands go to its standard input; a thread
// reads its standard output. Throws when it does not start serving within
// `start_limit_ms`.
class Farm {
public:
    Farm(const std::string &program, int terminals, int start_limit_ms = 30000);
    ~Farm();
    Farm(const Farm &) = delete;
    Farm &operator=(const Farm &) = delete;

    // Terminal i's port, in terminal order.
    const std::vector<std::uint16_t> &ports() const { return ports_; }
    // Sends one operator command line ("traffic 10", "on 5 noaccept", ...).
    void command(const std::string &line);
    // Sends `status` and waits for its answer: every command sent before has
    // then been carried out. Returns the summary line ("farm: ..."), empty
    // when none came within `limit_ms`.
    std::string sync(int limit_ms = 10000);

private:
    struct Output;
    void stop();
    std::string wait_line(const std::string &prefix, int limit_ms);

    pid_t pid_ = -1;
    int input_ = -1;
    std::vector<std::uint16_t> ports_;
    std::shared_ptr<Output> output_;
    std::thread reader_;
};

// Starts `rate` stamped events a second on every terminal of `farm`, their
// phases spread over one period as independent terminals would be.
void start_traffic(Farm &farm, int rate);

}  // namespace vq6120::bench
