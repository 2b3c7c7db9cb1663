#include "session.hpp"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <span>
#include <string>

#include "frame_text.hpp"
#include "platform.hpp"
#include "vq6120/reasons.hpp"

namespace vq6120::cli {
namespace {

using Clock = std::chrono::steady_clock;

// "2026-12-08 21:20:01.123", local time.
std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::tm local = os::local_time(seconds);
    char buffer[40];
    const std::size_t n = std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(buffer + n, sizeof buffer - n, ".%03d", static_cast<int>(ms));
    return buffer;
}

void print(const char *prefix, int result, const std::uint8_t *payload, int length) {
    const std::string line = text::receive_result(result, std::span(payload, static_cast<std::size_t>(length)));
    std::printf("%s%s\n", prefix, line.c_str());
    std::fflush(stdout);
}

}  // namespace

int Session::receive(std::uint8_t *payload, std::int32_t &length) {
    length = VQ6120_MAX_RECEIVE_FRAME;
    const int r = GetDataFromEthernet(handle_, payload, &length, 1);
    if (r != VQ6120_RECV_CLOSED && r != VQ6120_RECV_NOTHING) heard_ = true;
    return r;
}

int Session::closed(const std::string &when) const {
    // A terminal held by another host closes within a round trip; one that
    // drops a connection later, after silence, is not told apart as held.
    if (heard_ || Clock::now() - opened_ > std::chrono::seconds(1)) {
        std::fprintf(stderr, "vq6120: %s: %s%s%s\n", name_.c_str(), std::string(reason::kClosed).c_str(),
                     when.empty() ? "" : " at ", when.c_str());
    } else {
        std::fprintf(stderr, "vq6120: %s: %s by the terminal before it answered: %s\n", name_.c_str(),
                     std::string(reason::kClosed).c_str(), std::string(reason::kHeldHint).c_str());
    }
    return kExitLost;
}

int Session::expect(int want, int seconds, bool show) {
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    const auto deadline = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < deadline) {
        std::int32_t length = 0;
        const int r = receive(payload, length);
        if (r == VQ6120_RECV_CLOSED) return closed();
        if (r == want) {
            if (show) print("", r, payload, length);
            return 0;
        }
    }
    return -1;
}

int Session::await(int want, int seconds) {
    if (const int status = expect(want, seconds, true); status >= 0) return status;
    std::fprintf(stderr, "vq6120: %s: no answer from the terminal within %d s\n", name_.c_str(), seconds);
    return kExitUnanswered;
}

int Session::confirm(int seconds) {
    if (GetModalName(handle_) != 1) return closed();
    if (const int status = expect(VQ6120_RECV_MODEL_NAME, seconds, false); status >= 0) return status;
    std::fprintf(stderr, "vq6120: %s: the terminal did not confirm the command within %d s (it was sent, but may not "
                 "have arrived)\n", name_.c_str(), seconds);
    return kExitUnanswered;
}

int Session::probe(int seconds) {
    if (GetConnectStatus(handle_, static_cast<std::uint8_t>(seconds)) == 1) {
        std::printf("%s is a VQ6120 terminal\n", name_.c_str());
        return 0;
    }
    // The probe leaves every other frame buffered: a close shows behind them.
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    for (int i = 0; i < 64; ++i) {
        std::int32_t length = VQ6120_MAX_RECEIVE_FRAME;
        const int r = GetDataFromEthernet(handle_, payload, &length, 0);
        if (r == VQ6120_RECV_CLOSED) return closed();
        if (r == VQ6120_RECV_NOTHING) break;
        heard_ = true;
    }
    std::fprintf(stderr, "vq6120: %s did not answer as a VQ6120 terminal\n", name_.c_str());
    return kExitUnanswered;
}

int Session::monitor(int seconds, int keep_alive) {
    std::uint8_t payload[VQ6120_MAX_RECEIVE_FRAME];
    const auto start = Clock::now();
    const auto end = start + std::chrono::seconds(seconds);
    auto next_alive = start;
    if (GetModalName(handle_) != 1) return closed(timestamp());
    while (seconds == 0 || Clock::now() < end) {
        if (keep_alive > 0 && Clock::now() >= next_alive) {
            if (SendHostAlive(handle_) != 1) return closed(timestamp());
            next_alive += std::chrono::seconds(keep_alive);
        }
        std::int32_t length = 0;
        const int r = receive(payload, length);
        if (r == VQ6120_RECV_CLOSED) return closed(timestamp());
        if (r != VQ6120_RECV_NOTHING) print((timestamp() + " ").c_str(), r, payload, length);
    }
    return 0;
}

}  // namespace vq6120::cli
