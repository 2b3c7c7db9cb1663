#include "plant_common.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <sstream>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace vq6120::bench {
namespace {

std::int64_t clock_ns(clockid_t id) {
    timespec t{};
    ::clock_gettime(id, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

}  // namespace

std::int64_t thread_cpu_ns() { return clock_ns(CLOCK_THREAD_CPUTIME_ID); }
std::int64_t process_cpu_ns() { return clock_ns(CLOCK_PROCESS_CPUTIME_ID); }
std::int64_t monotonic_ns() { return clock_ns(CLOCK_MONOTONIC); }

double mean(const std::vector<double> &v) {
    double sum = 0;
    for (const double x : v) {
        sum += x;
    }
    return v.empty() ? 0 : sum / static_cast<double>(v.size());
}

double percentile(std::vector<double> v, double p) {
    if (v.empty()) {
        return 0;
    }
    const double rank = std::ceil(p / 100.0 * static_cast<double>(v.size()));
    const auto index = static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(v.size()))) - 1;
    std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(index), v.end());
    return v[index];
}

std::uint64_t raise_descriptor_limit(std::uint64_t wanted) {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) {
        return 0;
    }
    if (limit.rlim_cur < wanted) {
        limit.rlim_cur = std::min<rlim_t>(wanted, limit.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

std::string load_average() {
    std::ifstream in("/proc/loadavg");
    std::string one, five, fifteen;
    in >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

std::string machine_note() {
    return std::to_string(std::thread::hardware_concurrency()) + " cores, load " + load_average();
}

namespace {

// "ports: 41000-41999", or every port when they are not consecutive; empty
// when the line is not that.
std::vector<std::uint16_t> parse_ports(const std::string &text) {
    std::vector<std::uint16_t> ports;
    std::istringstream line(text);
    std::string word;
    line >> word;
    while (line >> word) {
        unsigned first = 0;
        unsigned last = 0;
        char dash = 0;
        const int fields = std::sscanf(word.c_str(), "%5u%c%5u", &first, &dash, &last);
        if (fields == 1) {
            last = first;
        } else if (fields != 3 || dash != '-') {
            return {};
        }
        if (first == 0 || last < first || last > 65535) {
            return {};
        }
        for (unsigned p = first; p <= last; ++p) {
            ports.push_back(static_cast<std::uint16_t>(p));
        }
    }
    return ports;
}

}  // namespace

struct Farm::Output {
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> lines;
    bool closed = false;
};

Farm::Farm(const std::string &program, int terminals, int start_limit_ms) : output_(std::make_shared<Output>()) {
    int to_child[2];
    int from_child[2];
    if (::pipe2(to_child, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (::pipe2(from_child, O_CLOEXEC) != 0) {
        ::close(to_child[0]);
        ::close(to_child[1]);
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, to_child[0], 0);
    posix_spawn_file_actions_adddup2(&actions, from_child[1], 1);
    // Its log (a line per connection) would drown the figures.
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> arguments = {program, "--terminals", std::to_string(terminals), "--port", "0"};
    std::vector<char *> argv;
    for (std::string &a : arguments) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    const int spawned = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(to_child[0]);
    ::close(from_child[1]);
    input_ = to_child[1];
    if (spawned != 0) {
        pid_ = -1;
        ::close(from_child[0]);
        stop();
        throw std::runtime_error("cannot start " + program);
    }
    // Keeps the farm's output flowing (a full pipe would stall the farm) and
    // hands its lines to wait_line().
    reader_ = std::thread([fd = from_child[0], out = output_] {
        std::string partial;
        char chunk[4096];
        ssize_t n;
        while ((n = ::read(fd, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR)) {
            partial.append(chunk, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
            const std::lock_guard lock(out->mutex);
            for (std::size_t end; (end = partial.find('\n')) != std::string::npos; partial.erase(0, end + 1)) {
                out->lines.push_back(partial.substr(0, end));
                if (out->lines.size() > 10000) {
                    out->lines.pop_front();
                }
            }
            out->changed.notify_all();
        }
        ::close(fd);
        const std::lock_guard lock(out->mutex);
        out->closed = true;
        out->changed.notify_all();
    });

    ports_ = parse_ports(wait_line("ports:", start_limit_ms));
    if (ports_.size() != static_cast<std::size_t>(terminals)) {
        stop();
        throw std::runtime_error("the farm did not start serving " + std::to_string(terminals) + " terminals");
    }
}

std::string Farm::wait_line(const std::string &prefix, int limit_ms) {
    std::unique_lock lock(output_->mutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
        while (!output_->lines.empty()) {
            std::string line = std::move(output_->lines.front());
            output_->lines.pop_front();
            if (line.starts_with(prefix)) {
                return line;
            }
        }
        if (output_->closed || output_->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            return {};
        }
    }
}

void Farm::command(const std::string &line) {
    const std::string text = line + "\n";
    if (::write(input_, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        throw std::runtime_error("the farm does not take commands");
    }
}

std::string Farm::sync(int limit_ms) {
    command("status");
    return wait_line("farm:", limit_ms);
}

Farm::~Farm() { stop(); }

void Farm::stop() {
    if (input_ >= 0) {
        ::close(input_);
        input_ = -1;
    }
    if (pid_ > 0) {
        // A farm that does not stop within 5 s of SIGTERM is killed, so that
        // a run never hangs on it.
        ::kill(pid_, SIGTERM);
        int status = 0;
        pid_t reaped = 0;
        for (int i = 0; i < 500 && reaped == 0; ++i) {
            reaped = ::waitpid(pid_, &status, WNOHANG);
            if (reaped < 0 && errno == EINTR) {
                reaped = 0;
            }
            if (reaped == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (reaped == 0) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
        }
        pid_ = -1;
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

// Starts traffic on every terminal with their phases spread over one period,
// as independent terminals would be, rather than all in step.
void start_traffic(Farm &farm, int rate) {
    const auto n = farm.ports().size();
    constexpr std::size_t kGroups = 20;
    const auto pause = std::chrono::microseconds(1'000'000 / rate / static_cast<int>(kGroups));
    for (std::size_t i = 0; i < n; ++i) {
        farm.command("on " + std::to_string(i) + " traffic " + std::to_string(rate));
        if ((i + 1) % ((n + kGroups - 1) / kGroups) == 0) {
            std::this_thread::sleep_for(pause);
        }
    }
    farm.sync();
}

}  // namespace vq6120::bench
