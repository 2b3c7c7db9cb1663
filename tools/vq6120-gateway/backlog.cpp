#include "backlog.hpp"

#include <sqlite3.h>

#include <stdexcept>

#include "log.hpp"

namespace vq6120::gateway {

namespace {

// Written into every store; a file without it is not one of ours.
constexpr const char *kFormat = "vq6120-gateway events 1";

std::string reason(int rc, const std::string &why) {
    return rc == SQLITE_NOTADB ? "it is not an SQLite file" : rc == SQLITE_CORRUPT ? "it is damaged (" + why + ")" : why;
}

}  // namespace

// ---- In memory -------------------------------------------------------------

void MemoryBacklog::push(Pending p) {
    if (limit_ == 0) {
        ++dropped_;
        dropping(true);
        return;
    }
    dropping(count_ >= limit_);
    while (count_ >= limit_) {
        bytes_ -= weight(events_.begin()->second);
        events_.erase(events_.begin());
        --count_;
        ++dropped_;
    }
    p.id = next_++;
    bytes_ += weight(p);
    ++count_;
    events_.emplace(p.id, std::move(p));
}

std::vector<Pending> MemoryBacklog::take(std::size_t n) {
    std::vector<Pending> out;
    for (auto it = events_.upper_bound(cursor_); it != events_.end() && out.size() < n; ++it) {
        out.push_back(it->second);
        cursor_ = it->first;
    }
    return out;
}

void MemoryBacklog::done(std::uint64_t id) {
    const auto it = events_.find(id);
    if (it == events_.end()) return;
    bytes_ -= weight(it->second);
    events_.erase(it);
    --count_;
}

// ---- SQLite ----------------------------------------------------------------

Store::Store(const StoreConfig &config, bool sparkplug) : config_(config) {
    const int rc = sqlite3_open_v2(config_.path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                   nullptr);
    if (rc != SQLITE_OK) fail("cannot open or create it");
    // A damaged page must not be read as rows; a file that is not SQLite
    // fails on its first statement.
    exec("PRAGMA cell_size_check = ON");
    {
        sqlite3_stmt *check = prepare("PRAGMA quick_check");
        const bool stepped = sqlite3_step(check) == SQLITE_ROW;
        const std::string verdict = stepped ? reinterpret_cast<const char *>(sqlite3_column_text(check, 0)) : "";
        sqlite3_finalize(check);
        if (verdict != "ok") fail("it is damaged (" + (stepped ? verdict.substr(0, 200) : std::string(sqlite3_errmsg(db_))) + ")");
    }
    const std::string mode = sparkplug ? "sparkplug" : "json";
    sqlite3_stmt *tables = prepare("SELECT count(*) FROM sqlite_schema");
    sqlite3_step(tables);
    const bool fresh = sqlite3_column_int(tables, 0) == 0;
    sqlite3_finalize(tables);
    // Only a file found to be a store, or an empty one, is changed.
    if (!fresh) check_format(mode);
    exec("PRAGMA journal_mode = WAL");
    // WAL with synchronous NORMAL: a commit is in the file (the OS's page
    // cache) when it returns, so a killed process loses nothing committed;
    // the WAL reaches the disk at checkpoints, so power loss can cost the
    // transactions since the last one, never the file's consistency.
    exec("PRAGMA synchronous = NORMAL");
    if (fresh) {
        exec("CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)");
        exec("CREATE TABLE events (id INTEGER PRIMARY KEY AUTOINCREMENT, terminal TEXT NOT NULL, subtopic TEXT NOT NULL, "
             "payload BLOB NOT NULL)");
        exec((std::string("INSERT INTO meta VALUES ('format', '") + kFormat + "'), ('mode', '" + mode + "')").c_str());
    }
    insert_ = prepare("INSERT INTO events (terminal, subtopic, payload) VALUES (?, ?, ?)");
    select_ = prepare("SELECT id, terminal, subtopic, payload FROM events WHERE id > ? ORDER BY id LIMIT ?");
    remove_ = prepare("DELETE FROM events WHERE id = ? RETURNING length(terminal) + length(subtopic) + length(payload)");
    oldest_ = prepare("SELECT id FROM events ORDER BY id LIMIT 1");
    sqlite3_stmt *totals = prepare("SELECT count(*), coalesce(sum(length(terminal) + length(subtopic) + length(payload)), 0) FROM events");
    sqlite3_step(totals);
    count_ = static_cast<std::size_t>(sqlite3_column_int64(totals, 0));
    bytes_ = static_cast<std::uint64_t>(sqlite3_column_int64(totals, 1));
    sqlite3_finalize(totals);
    if (count_ > 0) log(Level::info, "store " + config_.path + ": " + std::to_string(count_) + " events wait from before");
}

void Store::check_format(const std::string &mode) {
    sqlite3_stmt *meta = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT (SELECT value FROM meta WHERE key = 'format'), (SELECT value FROM meta WHERE key = 'mode')",
                           -1, &meta, nullptr) != SQLITE_OK ||
        sqlite3_step(meta) != SQLITE_ROW || sqlite3_column_type(meta, 0) != SQLITE_TEXT ||
        std::string(reinterpret_cast<const char *>(sqlite3_column_text(meta, 0))) != kFormat) {
        sqlite3_finalize(meta);
        fail("it is an SQLite file but not this gateway's event store");
    }
    const std::string stored_mode =
        sqlite3_column_type(meta, 1) == SQLITE_TEXT ? reinterpret_cast<const char *>(sqlite3_column_text(meta, 1)) : "";
    sqlite3_finalize(meta);
    if (stored_mode != mode) {
        fail("it holds events of " + stored_mode.substr(0, 20) + " mode and the gateway runs in " + mode +
             " mode; publish them with that configuration, or move the file away");
    }
}

Store::~Store() {
    if (db_ == nullptr) return;
    try {
        commit();
    } catch (const std::exception &e) {
        log(Level::error, e.what());
    }
    for (sqlite3_stmt *s : {insert_, select_, remove_, oldest_}) sqlite3_finalize(s);
    sqlite3_close(db_);
}

void Store::fail(const std::string &what) const {
    const std::string message = "store " + config_.path + ": " + what;
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        const_cast<Store *>(this)->db_ = nullptr;
    }
    throw std::runtime_error(message);
}

void Store::exec(const char *sql) {
    char *error = nullptr;
    const int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &error);
    if (rc != SQLITE_OK) {
        const std::string why = error != nullptr ? error : sqlite3_errmsg(db_);
        sqlite3_free(error);
        fail(reason(rc, why));
    }
}

sqlite3_stmt *Store::prepare(const char *sql) {
    sqlite3_stmt *s = nullptr;
    const int rc = sqlite3_prepare_v2(db_, sql, -1, &s, nullptr);
    if (rc != SQLITE_OK) fail(reason(rc, sqlite3_errmsg(db_)));
    return s;
}

void Store::begin() {
    if (in_transaction_) return;
    exec("BEGIN");
    in_transaction_ = true;
}

void Store::commit() {
    if (!in_transaction_) return;
    in_transaction_ = false;
    exec("COMMIT");
}

void Store::drop_oldest() {
    sqlite3_reset(oldest_);
    if (sqlite3_step(oldest_) != SQLITE_ROW) return;
    const auto id = static_cast<std::uint64_t>(sqlite3_column_int64(oldest_, 0));
    sqlite3_reset(oldest_);
    const std::size_t before = count_;
    done(id);
    if (count_ < before) ++dropped_;
}

void Store::push(Pending p) {
    begin();
    const std::uint64_t w = weight(p);
    dropping(count_ >= config_.max_events || bytes_ + w > config_.max_bytes);
    while (count_ > 0 && (count_ >= config_.max_events || bytes_ + w > config_.max_bytes)) drop_oldest();
    sqlite3_reset(insert_);
    sqlite3_bind_text(insert_, 1, p.terminal.data(), static_cast<int>(p.terminal.size()), SQLITE_STATIC);
    sqlite3_bind_text(insert_, 2, p.subtopic.data(), static_cast<int>(p.subtopic.size()), SQLITE_STATIC);
    sqlite3_bind_blob(insert_, 3, p.payload.data(), static_cast<int>(p.payload.size()), SQLITE_STATIC);
    if (sqlite3_step(insert_) != SQLITE_DONE) fail(std::string("cannot store an event: ") + sqlite3_errmsg(db_));
    sqlite3_reset(insert_);
    ++count_;
    bytes_ += w;
}

std::vector<Pending> Store::take(std::size_t n) {
    std::vector<Pending> out;
    std::vector<std::uint64_t> hostile;
    sqlite3_reset(select_);
    sqlite3_bind_int64(select_, 1, static_cast<sqlite3_int64>(cursor_));
    sqlite3_bind_int64(select_, 2, static_cast<sqlite3_int64>(n));
    while (sqlite3_step(select_) == SQLITE_ROW) {
        const auto id = static_cast<std::uint64_t>(sqlite3_column_int64(select_, 0));
        cursor_ = id;
        const auto text = [&](int column, std::size_t limit, std::string &into) {
            const void *data = sqlite3_column_blob(select_, column);
            const auto size = static_cast<std::size_t>(sqlite3_column_bytes(select_, column));
            if (size > limit) return false;
            into.assign(data != nullptr ? static_cast<const char *>(data) : "", size);
            return true;
        };
        Pending p;
        p.id = id;
        if (text(1, kMaxPendingName, p.terminal) && text(2, kMaxPendingName, p.subtopic) &&
            text(3, kMaxPendingPayload, p.payload)) {
            out.push_back(std::move(p));
        } else {
            hostile.push_back(id);
        }
    }
    sqlite3_reset(select_);
    for (const std::uint64_t id : hostile) {
        log(Level::warning, "store " + config_.path + ": event " + std::to_string(id) + " is larger than any the gateway writes; dropped");
        discard(id);
    }
    return out;
}

void Store::done(std::uint64_t id) {
    begin();
    sqlite3_reset(remove_);
    sqlite3_bind_int64(remove_, 1, static_cast<sqlite3_int64>(id));
    if (sqlite3_step(remove_) == SQLITE_ROW) {
        bytes_ -= std::min<std::uint64_t>(bytes_, static_cast<std::uint64_t>(sqlite3_column_int64(remove_, 0)));
        --count_;
    }
    sqlite3_reset(remove_);
}

std::unique_ptr<Backlog> make_backlog(const Config &config) {
    if (config.store) return std::make_unique<Store>(*config.store, config.sparkplug.has_value());
    return std::make_unique<MemoryBacklog>(config.broker.queue_limit);
}

}  // namespace vq6120::gateway
