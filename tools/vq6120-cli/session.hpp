// One connection to a terminal while the tool waits for an answer or
// monitors what the terminal sends.
#pragma once

#include <csignal>

#include "VQ6120_LIB.h"

namespace vq6120::cli {

// Exit statuses of the tool.
constexpr int kExitRefused = 2;
constexpr int kExitConnect = 3;
constexpr int kExitLost = 4;
constexpr int kExitUnanswered = 5;

// Set by SIGINT and SIGTERM: waiting and monitoring end.
extern volatile std::sig_atomic_t g_interrupted;

class Session {
public:
    explicit Session(VQ6120_HANDLE handle) : handle_(handle) {}
    ~Session() { ExitVQ6120(handle_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    VQ6120_HANDLE handle() const { return handle_; }

    // Waits up to `seconds` for a frame delivered as `want`, prints it and
    // nothing else. Returns the exit status.
    int await(int want, int seconds);

    // Prints every frame, each line led by the local time, for `seconds` (0:
    // until interrupted). With `keep_alive` above 0 it sends the host-alive
    // signal at once and every `keep_alive` seconds, so a terminal's alive
    // check does not declare the host lost while it watches.
    int monitor(int seconds, int keep_alive);

private:
    VQ6120_HANDLE handle_;
};

}  // namespace vq6120::cli
