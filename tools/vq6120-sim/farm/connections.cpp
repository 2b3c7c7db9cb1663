// Hosts: taken one at a time per terminal, read, written, dropped.
#include <algorithm>
#include <array>

#include "farm/farm.hpp"
#include "farm/slot.hpp"

namespace vq6120::sim {

void Farm::update_watch(std::size_t i) {
    Slot &s = *slots_[i];
    if (!s.connected()) {
        return;
    }
    const bool read = !s.frozen;
    const bool write = !s.link.out.empty();
    if (read != s.watch_read || write != s.watch_write) {
        loop_.watch(s.host, host_tag(i), read, write);
        s.watch_read = read;
        s.watch_write = write;
    }
}

void Farm::accept_hosts(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    for (;;) {
        std::string who;
        const os::Socket fd = os::accept_from(s.listener, who);
        if (fd == os::kNoSocket) {
            return;
        }
        const auto filler = std::find(s.filler_names.begin(), s.filler_names.end(), who);
        if (filler != s.filler_names.end()) {
            // One of ours that held the accept queue full.
            s.filler_names.erase(filler);
            os::close(fd);
            continue;
        }
        // A host that left just before this one came may have its last
        // frames and its close still unread: take them first, so a host
        // that reconnects at once is not refused by its own old connection.
        for (int turns = 0; s.connected() && !s.frozen && turns < 64 && read_host(i, now); ++turns) {
        }
        if (s.connected()) {
            // One host at a time: a second one is closed at once.
            ++s.refused;
            log_ << s.who << "refused " << who << ": the terminal is held by " << s.holder << "\n";
            os::close(fd);
            continue;
        }
        s.host = fd;
        s.holder = who;
        s.link.clear();
        s.watch_read = s.watch_write = false;
        ++s.connections;
        s.terminal.host_connected(now);
        s.next_traffic = traffic_start(i, now);
        update_watch(i);
        if (!s.watch_read) {
            loop_.watch(fd, host_tag(i), false, false);  // frozen: still told of a hang-up
        }
        log_ << s.who << "host connected from " << who << "\n";
        schedule(i);
    }
}

void Farm::drop_host(std::size_t i, const std::string &why) {
    Slot &s = *slots_[i];
    if (!s.connected()) {
        return;
    }
    log_ << s.who << "host disconnected: " << why;
    if (!s.link.in.empty()) {
        log_ << " (" << s.link.in.size() << " bytes of an unfinished frame dropped)";
    }
    log_ << "\n";
    loop_.forget(s.host);
    os::close(s.host);
    s.host = os::kNoSocket;
    s.holder.clear();
    s.link.clear();
    s.terminal.host_disconnected();
}

bool Farm::read_host(std::size_t i, Clock::time_point now) {
    Slot &s = *slots_[i];
    static thread_local std::array<std::uint8_t, 65536> chunk;
    std::string error;
    const long n = os::receive(s.host, chunk, error);
    if (n == 0) {
        drop_host(i, "closed by the host");
        return false;
    }
    if (n == os::kFailed) {
        drop_host(i, "read failed: " + error);
        return false;
    }
    if (n == os::kWouldBlock) {
        return false;
    }
    const std::size_t before = s.link.out.size();
    s.link.mute = s.silent;  // the log and the live view show no answers that never go out
    const bool keep = s.link.receive(std::span(chunk).first(static_cast<std::size_t>(n)), s.terminal, now, log_);
    if (s.silent) {
        s.link.out.resize(before);  // silent: nothing goes out, answers included
    }
    if (!keep) {
        drop_host(i, s.link.out.size() > kMaxPendingOutput ? "not reading" : "stream out of step");
        return false;
    }
    if (s.link.out.size() > before && !s.dirty) {
        s.dirty = true;
        dirty_.push_back(i);
    }
    schedule(i);  // a frame may have set a timer
    return true;
}

void Farm::write_host(std::size_t i) {
    Slot &s = *slots_[i];
    s.dirty = false;
    while (s.connected() && !s.link.out.empty()) {
        std::string error;
        const long n = os::send(s.host, s.link.out, error);
        if (n == os::kFailed) {
            drop_host(i, "write failed: " + error);
            return;
        }
        if (n == 0) {
            break;
        }
        s.link.out.erase(s.link.out.begin(), s.link.out.begin() + n);
    }
    update_watch(i);
}

void Farm::send(std::size_t i, const OutFrame &f) {
    Slot &s = *slots_[i];
    if (!s.connected() || s.silent) {
        return;
    }
    if (!s.link.queue(f, log_)) {
        drop_host(i, "not reading (" + std::to_string(s.link.out.size()) + " bytes waiting)");
        return;
    }
    if (!s.dirty) {
        s.dirty = true;
        dirty_.push_back(i);
    }
}

}  // namespace vq6120::sim
