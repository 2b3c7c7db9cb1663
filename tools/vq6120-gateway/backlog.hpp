// Events that may not be published yet (the broker is away, or the Sparkplug
// births are not out), kept in arrival order until the broker acknowledged
// each: in memory (the default, bounded by `broker.queue_limit`) or in an
// SQLite store on disk (`"store"` in the configuration), which outlives the
// process.
//
//   backlog.push({terminal, subtopic, payload});   // on arrival
//   backlog.commit();                              // before the loop turn ends
//   for (const Pending &p : backlog.take(64)) ... publish at QoS 1, remember mid -> p.id
//   backlog.done(id);                              // on the broker's PUBACK
//   backlog.rewind();                              // connection lost: take again what was not acknowledged
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace vq6120::gateway {

// One event as its mode publishes it: JSON mode, the subtopic below the
// terminal and the JSON text (with its original "ts"); Sparkplug mode, an
// empty subtopic and the DDATA payload without seq (its timestamp the
// original time).
struct Pending {
    std::uint64_t id = 0;  // arrival order; assigned by push()
    std::string terminal;
    std::string subtopic;
    std::string payload;
};

// Limits on what is read back from a store file, which may have been
// changed by anyone: longer rows are dropped, counted, not published.
inline constexpr std::size_t kMaxPendingPayload = 64 * 1024;
inline constexpr std::size_t kMaxPendingName = 256;

class Backlog {
public:
    virtual ~Backlog() = default;
    // Appends; at the bound the oldest are dropped (and counted) first.
    virtual void push(Pending p) = 0;
    // Up to `n` events after those taken already, oldest first; they stay
    // until done().
    virtual std::vector<Pending> take(std::size_t n) = 0;
    virtual void done(std::uint64_t id) = 0;
    // An event taken that can never be published: gone, counted as dropped.
    void discard(std::uint64_t id) {
        done(id);
        ++dropped_;
    }
    // Everything not done() is to be taken again, from the oldest.
    virtual void rewind() = 0;
    // Makes what push() and done() did durable (the store: one transaction).
    virtual void commit() {}
    std::size_t size() const { return count_; }
    std::uint64_t bytes() const { return bytes_; }
    std::uint64_t dropped() const { return dropped_; }
    bool empty() const { return count_ == 0; }
    // True once per episode of drops (then false until the backlog was
    // below its bound again): when to log.
    bool dropping_started() {
        const bool now = dropping_ && !said_;
        said_ = dropping_;
        return now;
    }

protected:
    static std::uint64_t weight(const Pending &p) { return p.terminal.size() + p.subtopic.size() + p.payload.size(); }
    void dropping(bool on) {
        dropping_ = on;
        if (!on) said_ = false;
    }
    std::size_t count_ = 0;
    std::uint64_t bytes_ = 0;
    std::uint64_t dropped_ = 0;

private:
    bool dropping_ = false, said_ = false;
};

class MemoryBacklog final : public Backlog {
public:
    explicit MemoryBacklog(std::size_t limit) : limit_(limit) {}
    void push(Pending p) override;
    std::vector<Pending> take(std::size_t n) override;
    void done(std::uint64_t id) override;
    void rewind() override { cursor_ = 0; }

private:
    std::size_t limit_;
    std::map<std::uint64_t, Pending> events_;
    std::uint64_t next_ = 1, cursor_ = 0;
};

// The SQLite store. Throws std::runtime_error, with the file's name and what
// is wrong, when the file cannot be opened or created, is not SQLite, is
// damaged, or is an SQLite file that is not this gateway's store (or one of
// the other mode's): the gateway then refuses to start and leaves the file
// alone.
class Store final : public Backlog {
public:
    Store(const StoreConfig &config, bool sparkplug);
    ~Store() override;
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;
    void push(Pending p) override;
    std::vector<Pending> take(std::size_t n) override;
    void done(std::uint64_t id) override;
    void rewind() override { cursor_ = 0; }
    void commit() override;

private:
    void exec(const char *sql);
    void begin();
    sqlite3_stmt *prepare(const char *sql);
    [[noreturn]] void fail(const std::string &what) const;
    void drop_oldest();
    void check_format(const std::string &mode);
    StoreConfig config_;
    sqlite3 *db_ = nullptr;
    sqlite3_stmt *insert_ = nullptr, *select_ = nullptr, *remove_ = nullptr, *oldest_ = nullptr;
    bool in_transaction_ = false;
    std::uint64_t cursor_ = 0;
};

std::unique_ptr<Backlog> make_backlog(const Config &config);

}  // namespace vq6120::gateway
