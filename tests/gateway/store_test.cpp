// The backlog of events waiting for the broker, both kinds behind one
// interface: order, acknowledgement, rewind, the bound; the store's file
// across a reopen, and files it must refuse or rows it must not trust.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <functional>

#include "backlog.hpp"
#include "harness.hpp"

namespace vq6120::gateway::test {
namespace {

Pending event(int n) { return {0, "t" + std::to_string(n % 3), "key", "{\"key\":" + std::to_string(n) + "}"}; }

std::vector<std::string> payloads(const std::vector<Pending> &taken) {
    std::vector<std::string> out;
    for (const Pending &p : taken) out.push_back(p.payload);
    return out;
}

std::vector<std::string> expected(std::initializer_list<int> keys) {
    std::vector<std::string> out;
    for (const int k : keys) out.push_back(event(k).payload);
    return out;
}

void sql(const std::filesystem::path &file, const std::string &statement) {
    sqlite3 *db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char *error = nullptr;
    const int rc = sqlite3_exec(db, statement.c_str(), nullptr, nullptr, &error);
    const std::string why = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    if (rc != SQLITE_OK) fail(statement + ": " + why);
}

// Both backlogs, bounded at `limit` events.
struct Kind {
    const char *name;
    std::function<std::unique_ptr<Backlog>(const ScratchDir &, std::size_t limit)> make;
};
const Kind kKinds[] = {
    {"memory", [](const ScratchDir &, std::size_t limit) { return std::make_unique<MemoryBacklog>(limit); }},
    {"store",
     [](const ScratchDir &dir, std::size_t limit) {
         return std::make_unique<Store>(StoreConfig{(dir.path() / "events.db").string(), limit, 1 << 20}, false);
     }},
};

TEST(Backlog, TakesInOrderForgetsWhatWasAcknowledgedAndRewindsTheRest) {
    for (const Kind &kind : kKinds) {
        ScratchDir dir;
        auto b = kind.make(dir, 100);
        for (int i = 1; i <= 5; ++i) b->push(event(i));
        EXPECT_EQ(payloads(b->take(3)), expected({1, 2, 3})) << kind.name;
        EXPECT_EQ(payloads(b->take(3)), expected({4, 5})) << kind.name;
        EXPECT_TRUE(b->take(3).empty()) << kind.name;
        b->rewind();
        const auto again = b->take(10);
        ASSERT_EQ(again.size(), 5u) << kind.name;
        b->done(again[0].id);
        b->done(again[2].id);
        b->done(again[2].id);  // a second PUBACK for one id changes nothing
        b->commit();
        EXPECT_EQ(b->size(), 3u) << kind.name;
        b->rewind();
        EXPECT_EQ(payloads(b->take(10)), expected({2, 4, 5})) << kind.name;
        for (const Pending &p : b->take(10)) b->done(p.id);
    }
}

TEST(Backlog, AtItsBoundTheOldestGoCountedAndTheEpisodeIsSaidOnce) {
    for (const Kind &kind : kKinds) {
        ScratchDir dir;
        auto b = kind.make(dir, 3);
        b->push(event(1));
        b->push(event(2));
        b->push(event(3));
        EXPECT_FALSE(b->dropping_started()) << kind.name;
        b->push(event(4));
        EXPECT_TRUE(b->dropping_started()) << kind.name;
        b->push(event(5));
        EXPECT_FALSE(b->dropping_started()) << kind.name;  // the same episode
        b->commit();
        EXPECT_EQ(b->dropped(), 2u) << kind.name;
        EXPECT_EQ(b->size(), 3u) << kind.name;
        const auto left = b->take(10);
        EXPECT_EQ(payloads(left), expected({3, 4, 5})) << kind.name;
        for (const Pending &p : left) b->done(p.id);
        b->push(event(6));  // below the bound again: a new episode may start
        for (int i = 7; i <= 9; ++i) b->push(event(i));
        EXPECT_TRUE(b->dropping_started()) << kind.name;
    }
}

TEST(Store, KeepsWhatWasCommittedAcrossAReopenAndBoundsBytes) {
    ScratchDir dir;
    const StoreConfig config{(dir.path() / "events.db").string(), 1000, 64 << 10};
    {
        Store s(config, true);
        for (int i = 1; i <= 4; ++i) s.push(event(i));
        s.done(s.take(1).at(0).id);
        s.commit();
    }
    Store s(config, true);
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(payloads(s.take(10)), expected({2, 3, 4}));
    // The byte bound: events of 20 KiB, at most three in 64 KiB.
    for (int i = 0; i < 5; ++i) s.push({0, "t", "serial/1", std::string(20 << 10, 'x')});
    EXPECT_LE(s.bytes(), 64u << 10);
    EXPECT_EQ(s.size(), 3u);
    EXPECT_EQ(s.dropped(), 5u);
}

TEST(Store, RefusesFilesThatAreNotItsStoreAndLeavesThemAlone) {
    struct Case {
        const char *what;
        std::function<void(const std::filesystem::path &)> make;
        const char *says;
    };
    const Case cases[] = {
        {"text", [](const auto &f) { std::ofstream(f) << "not a database, just some text that is long enough\n"; },
         "not an SQLite file"},
        {"another program's SQLite", [](const auto &f) { sql(f, "CREATE TABLE settings (k TEXT, v TEXT)"); },
         "not this gateway's event store"},
        {"the other mode's store", [](const auto &f) { Store(StoreConfig{f.string(), 10, 1 << 20}, false); },
         "holds events of json mode"},
        {"damaged pages",
         [](const auto &f) {
             {
                 Store s(StoreConfig{f.string(), 100000, 1 << 30}, true);
                 for (int i = 0; i < 2000; ++i) s.push({0, "t", "", std::string(500, 'y')});
             }
             std::fstream io(f, std::ios::in | std::ios::out | std::ios::binary);
             io.seekp(3 * 4096 + 8);
             const std::string garbage(4096, '\xa5');
             io.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
         },
         "damaged"},
    };
    for (const Case &c : cases) {
        ScratchDir dir;
        const auto file = dir.path() / "events.db";
        c.make(file);
        const auto contents = [&] {
            std::ifstream in(file, std::ios::binary);
            return std::string(std::istreambuf_iterator<char>(in), {});
        };
        const std::string before = contents();
        try {
            Store s(StoreConfig{file.string(), 10, 1 << 20}, true);
            ADD_FAILURE() << c.what << ": taken";
        } catch (const std::runtime_error &e) {
            EXPECT_NE(std::string(e.what()).find(c.says), std::string::npos) << c.what << ": " << e.what();
            EXPECT_NE(std::string(e.what()).find(file.string()), std::string::npos) << e.what();
        }
        EXPECT_TRUE(contents() == before) << c.what << ": changed";
    }
}

TEST(Store, RowsLargerThanTheGatewayWritesAreDroppedUnread) {
    ScratchDir dir;
    const auto file = dir.path() / "events.db";
    const StoreConfig config{file.string(), 100, 1 << 20};
    {
        Store s(config, false);
        s.push(event(1));
        s.push(event(2));
        s.commit();
    }
    sql(file, "UPDATE events SET payload = zeroblob(" + std::to_string(kMaxPendingPayload + 1) + ") WHERE id = 1");
    sql(file, "INSERT INTO events (terminal, subtopic, payload) VALUES (printf('%.*c', 300, 'n'), 'key', '{}')");
    Store s(config, false);
    EXPECT_EQ(payloads(s.take(10)), expected({2}));
    EXPECT_EQ(s.dropped(), 2u);
    EXPECT_EQ(s.size(), 1u);
}

}  // namespace
}  // namespace vq6120::gateway::test
