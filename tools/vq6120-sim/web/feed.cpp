#include "web/feed.hpp"

#include "frame_text.hpp"

namespace vq6120::sim {

namespace {

std::size_t cost(const FeedEntry &e) { return sizeof e + e.text.size(); }

}  // namespace

// Every terminal's frames are logged from the start, whether or not a page
// looks: one opened later shows what came before it.
bool LiveFeed::wants(std::size_t) const { return true; }

void LiveFeed::frame(std::size_t terminal, bool from_host, const OutFrame &f, const std::string &decoded) {
    const auto now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    FeedEntry entry{0, now, from_host, 0, {}};
    if (from_host) {
        // The simulator's own decoding, without its direction arrow.
        entry.text = decoded.starts_with("<- ") ? decoded.substr(3) : decoded;
    } else {
        // As `vq6120 monitor` shows what the terminal sent.
        entry.text = text::terminal_frame(f.channel, f.command, f.payload);
    }
    const bool serial_data =
        (f.channel == channel::kSerial1 || f.channel == channel::kSerial2) && f.command == 0x00;
    std::lock_guard lock(mutex_);
    push(terminal, false, std::move(entry));
    if (serial_data) {
        push(terminal, true,
             FeedEntry{0, now, from_host, f.channel == channel::kSerial1 ? 1 : 2,
                       std::string(f.payload.begin(), f.payload.end())});
    }
    ++version_;
    changed_.notify_all();
}

void LiveFeed::turned() {
    std::lock_guard lock(mutex_);
    ++version_;
    changed_.notify_all();
}

void LiveFeed::push(std::size_t terminal, bool serial, FeedEntry entry) {
    entry.seq = ++seq_;
    bytes_ += cost(entry);
    order_.push_back({entry.seq, terminal, serial});
    auto &log = serial ? logs_[terminal].serial : logs_[terminal].frames;
    log.push_back(std::move(entry));
    if (log.size() > kKeep) {
        bytes_ -= cost(log.front());
        log.pop_front();  // its place in order_ goes when it comes to the front
    }
    while (!order_.empty() && (bytes_ > kKeepBytes || order_.size() > kKeepEntries)) {
        const Kept oldest = order_.front();
        order_.pop_front();
        const auto it = logs_.find(oldest.terminal);
        if (it == logs_.end()) {
            continue;
        }
        auto &from = oldest.serial ? it->second.serial : it->second.frames;
        if (!from.empty() && from.front().seq == oldest.seq) {
            bytes_ -= cost(from.front());
            from.pop_front();
        }
        if (it->second.frames.empty() && it->second.serial.empty()) {
            logs_.erase(it);  // a farm's quiet terminals hold nothing
        }
    }
}

std::uint64_t LiveFeed::wait(std::uint64_t seen, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || version_ != seen; });
    return version_;
}

std::uint64_t LiveFeed::version() const {
    std::lock_guard lock(mutex_);
    return version_;
}

std::vector<FeedEntry> LiveFeed::after(std::size_t terminal, std::deque<FeedEntry> Logs::*log,
                                       std::uint64_t seq) const {
    std::lock_guard lock(mutex_);
    std::vector<FeedEntry> out;
    const auto it = logs_.find(terminal);
    if (it == logs_.end()) {
        return out;
    }
    for (const auto &e : it->second.*log) {
        if (e.seq > seq) {
            out.push_back(e);
        }
    }
    return out;
}

std::vector<FeedEntry> LiveFeed::frames_after(std::size_t terminal, std::uint64_t seq) const {
    return after(terminal, &Logs::frames, seq);
}

std::vector<FeedEntry> LiveFeed::serial_after(std::size_t terminal, std::uint64_t seq) const {
    return after(terminal, &Logs::serial, seq);
}

void LiveFeed::close() {
    std::lock_guard lock(mutex_);
    closed_ = true;
    changed_.notify_all();
}

bool LiveFeed::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

}  // namespace vq6120::sim
