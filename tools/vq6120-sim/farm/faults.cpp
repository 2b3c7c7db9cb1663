// Faults on demand, what each farm command does to one terminal, and the
// status lines.
#include "farm/farm.hpp"
#include "farm/slot.hpp"

namespace vq6120::sim {

void Farm::stop_accepting(std::size_t i) {
    Slot &s = *slots_[i];
    if (s.not_accepting || s.listener == os::kNoSocket) {
        s.not_accepting = true;
        return;
    }
    s.not_accepting = true;
    loop_.watch(s.listener, listener_tag(i), false, false);
    // A backlog of 0 holds one connection; ours fills it, so the kernel
    // drops every further handshake and a host's connect hangs, as against
    // a terminal that has stopped answering.
    os::set_backlog(s.listener, 0);
    std::string local;
    const os::Socket filler = os::connect_to(options_.address == "0.0.0.0" ? "127.0.0.1" : options_.address, s.port,
                                             local);
    if (filler == os::kNoSocket) {
        log_ << s.who << "error: cannot fill the accept queue\n";
        return;
    }
    s.fillers.push_back(filler);
    s.filler_names.push_back(local);
    if (!os::connected_within(filler, 200)) {
        log_ << s.who << "accept queue already full\n";
    }
}

void Farm::start_accepting(std::size_t i) {
    Slot &s = *slots_[i];
    s.not_accepting = false;
    for (const auto f : s.fillers) {
        os::close(f);
    }
    s.fillers.clear();
    if (s.listener != os::kNoSocket) {
        os::set_backlog(s.listener, options_.backlog);
        loop_.watch(s.listener, listener_tag(i), true, false);
    }
}

bool Farm::reopen(std::size_t i) {
    Slot &s = *slots_[i];
    std::string error;
    std::uint16_t bound = 0;
    s.listener = os::listen_on(options_.address, s.port, options_.backlog, bound, error);
    if (s.listener == os::kNoSocket) {
        log_ << s.who << "error: " << error << "; trying again\n";
        return false;
    }
    loop_.watch(s.listener, listener_tag(i), true, false);
    log_ << s.who << "listening again on port " << s.port << "\n";
    if (s.not_accepting) {
        s.not_accepting = false;  // asked for while it was down
        stop_accepting(i);
    }
    return true;
}

void Farm::apply(std::size_t i, const FarmCommand &c, Clock::time_point now) {
    using K = FarmCommand::Kind;
    Slot &s = *slots_[i];
    switch (c.kind) {
    case K::Traffic:
        s.rate = c.rate;
        s.traffic_port = c.traffic_port;
        s.next_traffic = traffic_start(i, now);
        break;
    case K::Freeze:
    case K::Thaw:
        s.frozen = c.kind == K::Freeze;
        update_watch(i);
        break;
    case K::Silent:
    case K::Speak:
        s.silent = c.kind == K::Silent;
        // At once, not at the host's next frame: timers set while silent
        // (the auto report) speak from here on though the host sends nothing.
        s.link.mute = s.silent;
        if (s.silent) {
            s.link.out.clear();
            update_watch(i);
        }
        break;
    case K::NoAccept:
        stop_accepting(i);
        break;
    case K::Accept:
        start_accepting(i);
        break;
    case K::Drop:
        drop_host(i, "dropped by the operator");
        break;
    case K::Garbage:
        if (s.connected() && !s.silent) {
            // A frame on a channel no terminal uses, then a length field
            // below 8: a host cannot find its way back into the stream.
            static constexpr std::uint8_t kGarbage[] = {8, 0, 0x7F, 0xFF, 0xFF, 0, 0, 0, 4, 0, 0x40, 0, 0, 0, 0, 0};
            s.link.out.insert(s.link.out.end(), std::begin(kGarbage), std::end(kGarbage));
            if (!s.dirty) {
                s.dirty = true;
                dirty_.push_back(i);
            }
            log_ << s.who << "garbage sent\n";
        }
        break;
    case K::Restart:
        drop_host(i, "terminal restarting");
        start_accepting(i);
        s.frozen = s.silent = s.link.mute = false;
        if (s.listener != os::kNoSocket) {
            loop_.forget(s.listener);
            os::close(s.listener);
            s.listener = os::kNoSocket;
        }
        s.filler_names.clear();
        s.reopen_at = now + c.duration;
        if (c.duration.count() == 0 && reopen(i)) {
            s.reopen_at.reset();
        }
        break;
    case K::Status:
        out_ << status_line(i) << "\n";
        break;
    case K::Terminal:
        for (const auto &f : operate(c.command, s.terminal, s.connected(), out_, log_, s.who)) {
            send(i, f);
        }
        break;
    }
    schedule(i);
}

std::string Farm::status_line(std::size_t i) const {
    const FarmTerminalState st = state_locked(i);
    std::string line = "terminal " + std::to_string(i) + " port " + std::to_string(st.port) + " host " +
                       (st.host_connected ? st.host : std::string("none"));
    for (const auto &[on, word] : {std::pair{st.frozen, "frozen"}, std::pair{st.silent, "silent"},
                                   std::pair{st.not_accepting, "not-accepting"}, std::pair{st.down, "down"}}) {
        if (on) {
            line += std::string(" ") + word;
        }
    }
    return line + " connections " + std::to_string(st.connections) + " refused " + std::to_string(st.refused) +
           " traffic " + std::to_string(st.traffic_sent);
}

std::string Farm::summary() const {
    std::size_t connected = 0, frozen = 0, silent = 0, not_accepting = 0, down = 0;
    std::uint64_t traffic = 0;
    for (std::size_t i = 0; i < slots_.size(); ++i) {
        const FarmTerminalState st = state_locked(i);
        connected += st.host_connected;
        frozen += st.frozen;
        silent += st.silent;
        not_accepting += st.not_accepting;
        down += st.down;
        traffic += st.traffic_sent;
    }
    return "farm: " + std::to_string(slots_.size()) + " terminals, " + std::to_string(connected) + " connected, " +
           std::to_string(frozen) + " frozen, " + std::to_string(silent) + " silent, " +
           std::to_string(not_accepting) + " not accepting, " + std::to_string(down) + " down, traffic " +
           std::to_string(traffic) + " frames sent";
}

}  // namespace vq6120::sim
