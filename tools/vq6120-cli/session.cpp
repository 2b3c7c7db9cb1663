#include "session.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>

#include "frame_text.hpp"

namespace vq6120::cli {

volatile std::sig_atomic_t g_interrupted = 0;

namespace {

using Clock = std::chrono::steady_clock;

// "2026-12-08 21:20:01.123", local time.
std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
    localtime_r(&seconds, &local);
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03d", static_cast<int>(ms));
    return buffer;
}

int lost(const std::string &when = {}) {
    std::fprintf(stderr, "vq6120: connection lost%s%s\n", when.empty() ? "" : " at ", when.c_str());
    return kExitLost;
}

void print(const char *prefix, int result, const std::uint8_t *payload, int length) {
    const std::string line = text::receive_result(result, std::span(payload, static_cast<std::size_t>(length)));
    std::printf("%s%s\n", prefix, line.c_str());
    std::fflush(stdout);
}

}  // namespace

int Session::await(int want, int seconds) {
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline && !g_interrupted) {
        std::int32_t length = sizeof payload;
        const int r = GetDataFromEthernet(handle_, payload, &length, 1);
        if (r == VQ6120_RECV_CLOSED) return lost();
        if (r == want) {
            print("", r, payload, length);
            return 0;
        }
    }
    std::fprintf(stderr, "vq6120: no answer from the terminal within %d s\n", seconds);
    return kExitUnanswered;
}

int Session::monitor(int seconds, int keep_alive) {
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto next_alive = start;
    while ((seconds == 0 || Clock::now() < end) && !g_interrupted) {
        if (keep_alive > 0 && Clock::now() >= next_alive) {
            if (SendHostAlive(handle_) != 1) return lost(timestamp());
            next_alive += std::chrono::seconds(keep_alive);
        }
        std::int32_t length = sizeof payload;
        const int r = GetDataFromEthernet(handle_, payload, &length, 1);
        if (r == VQ6120_RECV_CLOSED) return lost(timestamp());
        if (r != VQ6120_RECV_NOTHING) print((timestamp() + " ").c_str(), r, payload, length);
    }
    return 0;
}

}  // namespace vq6120::cli
