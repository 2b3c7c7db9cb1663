// What happens to one terminal apart from its sockets, shared by the single
// simulator and the farm: the host's bytes cut into frames and acted on, the
// answers queued for the host, and the operator commands that act on one
// terminal.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "session/script.hpp"
#include "model/terminal.hpp"

namespace vq6120::sim {

// A host that sends but does not read is let go rather than have its
// answers pile up without end.
inline constexpr std::size_t kMaxPendingOutput = std::size_t{16} << 20;

// A window on terminals for a live view: told of every frame in and out, and
// of every turn of the loop (which may have changed a terminal), on the
// loop's thread with its lock held, so it must be quick and must not call
// back. `decoded` is the frame as the verbose log writes it.
class Watcher {
public:
    virtual ~Watcher() = default;
    // Whether frames of `terminal` are wanted at all (they cost a decoding).
    virtual bool wants(std::size_t terminal) const = 0;
    virtual void frame(std::size_t terminal, bool from_host, const OutFrame &frame, const std::string &decoded) = 0;
    virtual void turned() = 0;
};

struct HostLink {
    std::vector<std::uint8_t> in;   // received, not yet a whole frame
    std::vector<std::uint8_t> out;  // queued for the host, not yet sent
    bool verbose = false;           // log every frame, decoded
    std::string_view who;           // in front of every log line ("" or "terminal 7: ")
    Watcher *watcher = nullptr;     // told of every frame, as terminal `index`
    bool mute = false;              // answers are dropped, not queued (a silent terminal)
    std::size_t index = 0;

    // Appends received bytes and acts on every whole frame; the answers are
    // queued. False when the stream is out of step (logged): the caller
    // drops the connection.
    bool receive(std::span<const std::uint8_t> bytes, Terminal &t, Clock::time_point now, std::ostream &log);
    // Queues one frame; false when too much is already waiting (the caller
    // drops the connection).
    bool queue(const OutFrame &f, std::ostream &log);
    void clear() noexcept;
};

// Acts on key, di, serial, snapshot and dump for one terminal: the frames
// for the host are returned (none while no host is connected: those are
// logged as dropped). Other kinds are left to the caller.
std::vector<OutFrame> operate(const ScriptCommand &c, Terminal &t, bool connected, std::ostream &out,
                              std::ostream &log, std::string_view who);

}  // namespace vq6120::sim
