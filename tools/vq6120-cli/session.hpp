// One connection to a terminal while the tool waits for an answer or
// monitors what the terminal sends.
#pragma once

#include <chrono>
#include <string>

#include "VQ6120_LIB.h"

namespace vq6120::cli {

// Exit statuses of the tool.
constexpr int kExitRefused = 2;
constexpr int kExitConnect = 3;
constexpr int kExitLost = 4;
constexpr int kExitUnanswered = 5;
constexpr int kExitInterrupted = 130;

class Session {
public:
    // `name` is the terminal as the user gave it, for messages.
    Session(VQ6120_HANDLE handle, std::string name)
        : handle_(handle), name_(std::move(name)), opened_(std::chrono::steady_clock::now()) {}
    ~Session() { ExitVQ6120(handle_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    VQ6120_HANDLE handle() const { return handle_; }

    // Waits up to `seconds` for a frame delivered as `want`, prints it and
    // nothing else. Returns the exit status.
    int await(int want, int seconds);

    // After a command: asks for the model name and waits up to `seconds` for
    // the answer. The terminal handles frames in order, so the answer says
    // the command arrived; a terminal held by another host closes the
    // connection instead. Returns the exit status.
    int confirm(int seconds);

    // Whether the peer answers as a VQ6120 terminal within `seconds`; says
    // so. Returns the exit status.
    int probe(int seconds);

    // Prints every frame, each line led by the local time, for `seconds` (0:
    // until interrupted). It asks for the model name first, so a terminal
    // that answers shows its name and one held by another host is told
    // apart. With `keep_alive` above 0 it sends the host-alive signal at once
    // and every `keep_alive` seconds, so a terminal's alive check does not
    // declare the host lost while it watches.
    int monitor(int seconds, int keep_alive);

private:
    // Waits up to `seconds` for a frame delivered as `want` (printed when
    // `show`): 0 when it came, the exit status when the connection closed,
    // -1 when nothing came in time.
    int expect(int want, int seconds, bool show);
    // The next result within the receive wait; notes that the terminal spoke.
    int receive(std::uint8_t *payload, std::int32_t &length);
    // The connection closed: held by another host, most likely, when the
    // terminal never spoke and closed it at once.
    int closed(const std::string &when = {}) const;

    VQ6120_HANDLE handle_;
    std::string name_;
    std::chrono::steady_clock::time_point opened_;
    bool heard_ = false;  // the terminal sent something on this connection
};

}  // namespace vq6120::cli
