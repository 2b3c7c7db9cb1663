// The Poller against the simulator farm running in this process on a thread
// of its own: a thousand terminals on descriptors above 1024, a farm restart,
// a link that dies silently behind a proxy, a terminal that stops reading or
// reads slowly, one that sends garbage, and removal from inside callbacks.
// Every wait is bounded: a terminal that never comes back runs into the
// bound and fails the test instead of hanging it.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <future>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "farm/farm.hpp"
#include "raw_peer.hpp"
#include "tcp_proxy.hpp"
#include "test_peer.hpp"
#include "vq6120.hpp"

using namespace std::chrono_literals;
using vq6120::Clock;
using vq6120::State;
using vq6120::TerminalId;

namespace {

// The farm serving on its own thread.
class FarmThread {
public:
    explicit FarmThread(std::size_t terminals) : farm_(options(terminals), out_, log_) {
        std::string error;
        if (!farm_.open(error)) {
            throw std::runtime_error("farm: " + error);
        }
        thread_ = std::thread([this] { farm_.run(); });
    }
    ~FarmThread() {
        farm_.stop();
        thread_.join();
    }
    void command(const std::string &line) {
        std::string error;
        ASSERT_TRUE(farm_.command(line, &error)) << line << ": " << error;
    }
    vq6120::sim::Farm &farm() { return farm_; }
    vq6120::Endpoint endpoint(std::size_t i) const { return {vq6120::test::TestPeer::loopback(), farm_.port(i)}; }
    bool all(const std::function<bool(const vq6120::sim::FarmTerminalState &)> &pred) const {
        for (std::size_t i = 0; i < farm_.size(); ++i) {
            if (!pred(farm_.state(i))) {
                return false;
            }
        }
        return true;
    }

private:
    static vq6120::sim::FarmOptions options(std::size_t n) {
        vq6120::sim::FarmOptions o;
        o.port = 0;
        o.terminals = n;
        return o;
    }
    std::ostringstream out_;
    std::ostringstream log_;
    vq6120::sim::Farm farm_;
    std::thread thread_;
};

// Records what the Poller reports.
struct Record {
    std::map<TerminalId, std::vector<vq6120::StateChange>> changes;
    std::map<TerminalId, std::vector<vq6120::Event>> events;
    // The longest wait before a retry that the Poller chose.
    Clock::duration longest_wait{};

    void attach(vq6120::Poller &p) {
        p.on_state([this](const vq6120::StateChange &c) {
            changes[c.id].push_back(c);  // the reasons are static strings
            if (c.state == State::Waiting) {
                longest_wait = std::max(longest_wait, c.retry_at - Clock::now());
            }
        });
        p.on_event([this](TerminalId id, void *, vq6120::Event &e) { events[id].push_back(e); });
    }
    std::size_t count(TerminalId id, State s, std::string_view why = {}) const {
        const auto i = changes.find(id);
        if (i == changes.end()) {
            return 0;
        }
        return static_cast<std::size_t>(std::count_if(i->second.begin(), i->second.end(), [&](const auto &c) {
            return c.state == s && (why.empty() || c.reason == why);
        }));
    }
    template <class T>
    std::size_t count_events(TerminalId id) const {
        const auto i = events.find(id);
        if (i == events.end()) {
            return 0;
        }
        return static_cast<std::size_t>(std::count_if(i->second.begin(), i->second.end(),
                                                       [](const auto &e) { return std::holds_alternative<T>(e); }));
    }
};

// Runs rounds until `done` holds, for at most `limit`.
bool run_until(vq6120::Poller &p, const std::function<bool()> &done, std::chrono::milliseconds limit = 20s) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > end) {
            return false;
        }
        p.run_once(50ms);
    }
    return true;
}

std::size_t open_descriptors() {
    std::size_t n = 0;
    if (DIR *d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) {
            ++n;
        }
        ::closedir(d);
    }
    return n;
}

// The soft descriptor limit raised to `needed` while it lives; `raised` is
// false when the hard limit is below it.
struct DescriptorLimit {
    explicit DescriptorLimit(rlim_t needed) {
        ::getrlimit(RLIMIT_NOFILE, &before);
        rlimit limit = before;
        limit.rlim_cur = std::max<rlim_t>(limit.rlim_cur, needed);
        raised = before.rlim_max >= needed && ::setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    ~DescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &before); }
    DescriptorLimit(const DescriptorLimit &) = delete;
    DescriptorLimit &operator=(const DescriptorLimit &) = delete;
    rlimit before{};
    bool raised = false;
};

std::vector<TerminalId> add_all(vq6120::Poller &p, FarmThread &farm, const vq6120::TerminalConfig &base,
                                std::size_t first = 0) {
    std::vector<TerminalId> ids;
    for (std::size_t i = first; i < farm.farm().size(); ++i) {
        vq6120::TerminalConfig c = base;
        c.endpoint = farm.endpoint(i);
        ids.push_back(p.add(c));
    }
    return ids;
}

TerminalId add_loopback(vq6120::Poller &p, std::uint16_t port) {
    vq6120::TerminalConfig c;
    c.endpoint = {vq6120::test::TestPeer::loopback(), port};
    return p.add(c);
}

// The farm's terminals, sending traffic, keep delivering it and none is lost.
void expect_others_carry_on(vq6120::Poller &poller, const Record &record, const std::vector<TerminalId> &others) {
    std::map<TerminalId, std::size_t> before;
    for (const TerminalId id : others) {
        before[id] = record.count_events<vq6120::SerialData>(id);
    }
    EXPECT_TRUE(run_until(poller, [&] {
        return std::all_of(others.begin(), others.end(), [&](TerminalId id) {
            return record.count_events<vq6120::SerialData>(id) > before[id] + 2;
        });
    }));
    for (const TerminalId id : others) {
        EXPECT_EQ(record.count(id, State::Lost), 0u);
    }
}

TEST(Poller, AThousandTerminalsOnDescriptorsAbove1024TheSilentOnesCostingOnlyTheirLimit) {
    constexpr std::size_t kTerminals = 1000;
    // The farm's listeners and connections, ours, and the 1024 held below.
    const DescriptorLimit limit(1100 + 3 * kTerminals);
    if (!limit.raised) {
        GTEST_SKIP() << "the hard descriptor limit is below " << 1100 + 3 * kTerminals;
    }

    FarmThread farm(kTerminals);
    // Every descriptor up to 1024 taken, so each of ours lands above it.
    std::vector<int> low;
    for (int fd = -1; fd < 1024;) {
        fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        low.push_back(fd);
    }
    // A few terminals answer no handshake: each costs only its connect limit.
    constexpr std::size_t kSilent = 10;
    for (std::size_t i = 0; i < kSilent; ++i) {
        farm.command("on " + std::to_string(i) + " noaccept");
    }
    {
        vq6120::Poller poller;
        Record record;
        record.attach(poller);
        vq6120::TerminalConfig config;
        config.connect_limit = 500ms;
        const auto ids = add_all(poller, farm, config);
        ASSERT_TRUE(run_until(poller, [&] {
            return poller.online() == kTerminals - kSilent &&
                   std::all_of(ids.begin(), ids.begin() + kSilent, [&](TerminalId id) {
                       return record.count(id, State::Waiting, vq6120::reason::kConnectTimeout) > 0;
                   });
        }));
        const std::vector<TerminalId> good(ids.begin() + kSilent, ids.end());
        for (const TerminalId id : good) {
            vq6120::Terminal *t = poller.terminal(id);
            ASSERT_NE(t, nullptr);
            EXPECT_GT(t->native_socket(), 1024);
            EXPECT_TRUE(t->request_model_name());
        }
        ASSERT_TRUE(run_until(poller, [&] {
            return std::all_of(good.begin(), good.end(), [&](TerminalId id) {
                return record.count_events<vq6120::ModelName>(id) == 1;
            });
        }));
    }
    for (const int fd : low) {
        ::close(fd);
    }
}

// A host whose loop was held for five seconds (a callback that took that
// long, a paused process) judges its terminals on what they sent meanwhile,
// not on what it had read before: every terminal that kept reporting stays,
// however many sockets turned ready at once; the silent one is lost. The
// hold lasts until every reporting terminal has sent a report the loop has
// not read, and moves the Poller's clock five seconds.
TEST(Poller, AHeldLoopLosesNoTerminalThatKeptReporting) {
    constexpr std::size_t kTerminals = 1000;
    const DescriptorLimit limit(100 + 3 * kTerminals);
    if (!limit.raised) {
        GTEST_SKIP() << "the hard descriptor limit is below " << 100 + 3 * kTerminals;
    }
    {
        FarmThread farm(kTerminals);
        farm.command("on 0 silent");
        Clock::time_point now = Clock::now();
        vq6120::Poller poller({}, [&] { return now; });
        Record record;
        record.attach(poller);
        bool hold = false;
        std::vector<TerminalId> reporting;
        poller.on_event([&](TerminalId id, void *, vq6120::Event &e) {
            record.events[id].push_back(e);
            if (std::exchange(hold, false)) {
                for (const TerminalId r : reporting) {
                    const int fd = static_cast<int>(poller.terminal(r)->native_socket());
                    int unread = 0;
                    for (int tries = 0; tries < 1000 && ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0; ++tries) {
                        std::this_thread::sleep_for(5ms);
                    }
                }
                now += 5s;
            }
        });
        vq6120::TerminalConfig config;
        config.auto_report = 10;  // every second; lost after 3.5 s of silence
        const auto ids = add_all(poller, farm, config);
        reporting.assign(ids.begin() + 1, ids.end());
        // Each reporting terminal has sent n reports since, or was lost.
        const auto reported = [&](std::size_t n) {
            return std::all_of(reporting.begin(), reporting.end(), [&](TerminalId id) {
                return record.count_events<vq6120::DigitalInputs>(id) >= n || record.count(id, State::Lost) > 0;
            });
        };
        ASSERT_TRUE(run_until(poller, [&] { return poller.online() == kTerminals && reported(1); }));
        hold = true;
        ASSERT_TRUE(run_until(poller, [&] { return !hold && reported(3); }));
        std::size_t lost = 0;
        for (const TerminalId id : reporting) {
            lost += record.count(id, State::Lost);
        }
        EXPECT_EQ(lost, 0u);
        EXPECT_EQ(record.count(ids.front(), State::Lost, vq6120::reason::kNoAutoReport), 1u);
    }
}

TEST(Poller, AfterAFarmRestartEveryTerminalIsBackWithinTheBackoffBound) {
    constexpr std::size_t kTerminals = 100;
    vq6120::Backoff backoff;
    backoff.initial = 50ms;
    backoff.maximum = 400ms;
    FarmThread farm(kTerminals);
    vq6120::Poller poller(backoff);
    Record record;
    record.attach(poller);
    const auto ids = add_all(poller, farm, {});
    ASSERT_TRUE(run_until(poller, [&] {
        return poller.online() == kTerminals && farm.all([](const auto &s) { return s.host_connected; });
    }));
    const std::size_t descriptors = open_descriptors();

    // Closed for a second: refused attempts drive every backoff to its maximum.
    farm.farm().post("restart 1s");
    ASSERT_TRUE(run_until(poller, [&] { return poller.online() == 0; }));
    ASSERT_TRUE(run_until(poller, [&] { return farm.all([](const auto &s) { return !s.down; }); }));
    const auto reopened = Clock::now();
    ASSERT_TRUE(run_until(poller, [&] { return poller.online() == kTerminals; }));
    // No wait the Poller chose was longer than the maximum with its jitter,
    // and the attempt that brought each terminal back was due within that
    // bound of the farm listening again (it failed last before then).
    const auto bound = backoff.maximum * (1 + backoff.jitter);
    EXPECT_LE(record.longest_wait, bound);
    for (const TerminalId id : ids) {
        EXPECT_EQ(record.count(id, State::Lost, vq6120::reason::kClosed), 1u);
        // Told apart from other connect failures by the socket's error.
        EXPECT_GT(record.count(id, State::Waiting, vq6120::reason::kRefused), 0u);
        const auto &changes = record.changes[id];
        const auto last_wait = std::find_if(changes.rbegin(), changes.rend(),
                                            [](const auto &c) { return c.state == State::Waiting; });
        ASSERT_NE(last_wait, changes.rend());
        EXPECT_LE(last_wait->retry_at, reopened + bound);
    }

    ASSERT_TRUE(run_until(poller, [&] { return farm.all([](const auto &s) { return s.host_connected; }); }));
    EXPECT_EQ(open_descriptors(), descriptors);
    for (const TerminalId id : ids) {
        poller.terminal(id)->request_inputs();
    }
    ASSERT_TRUE(run_until(poller, [&] {
        return std::all_of(ids.begin(), ids.end(),
                           [&](TerminalId id) { return record.count_events<vq6120::DigitalInputs>(id) > 0; });
    }));
}

// On the Poller's clock, moved only once the terminal reached directly has
// delivered its next report: the one behind the frozen proxy is lost at 350
// ms of silence to the millisecond, the other never.
TEST(Poller, ASilentDeadLinkIsFoundByTheAutoReportRule) {
    FarmThread farm(2);
    vq6120::test::TcpProxy proxy(farm.farm().port(0));
    Clock::time_point now = Clock::now();
    vq6120::Poller poller({}, [&] { return now; });
    Record record;
    record.attach(poller);
    vq6120::TerminalConfig config;
    config.auto_report = 1;  // every 100 ms
    config.endpoint = {vq6120::test::TestPeer::loopback(), proxy.port()};
    const TerminalId behind = poller.add(config);
    config.endpoint = farm.endpoint(1);
    const TerminalId direct = poller.add(config);
    ASSERT_TRUE(run_until(poller, [&] {
        return record.count_events<vq6120::DigitalInputs>(behind) >= 3 &&
               record.count_events<vq6120::DigitalInputs>(direct) >= 3;
    }));
    proxy.freeze();
    // Read with the clock standing: what the proxy passed on before it froze
    // came long before the direct terminal's next report.
    const auto next_report = [&] {
        const std::size_t n = record.count_events<vq6120::DigitalInputs>(direct);
        return run_until(poller, [&] { return record.count_events<vq6120::DigitalInputs>(direct) > n; });
    };
    ASSERT_TRUE(next_report());
    const Clock::time_point frozen = now;
    for (const auto at : {100ms, 200ms, 300ms, 349ms, 350ms}) {
        ASSERT_TRUE(next_report());
        now = frozen + at;
        poller.run_once(0ms);
        EXPECT_EQ(poller.state(behind) == State::Online, at < 350ms) << at.count();
    }
    EXPECT_EQ(record.count(behind, State::Lost, vq6120::reason::kNoAutoReport), 1u);
    EXPECT_EQ(record.count(direct, State::Lost), 0u);
    EXPECT_EQ(poller.state(direct), State::Online);
}

TEST(Poller, ConfiguredTerminalsGetTheirAutoReportAndHostAliveSignalsInTime) {
    FarmThread farm(3);
    vq6120::Poller poller;
    vq6120::TerminalConfig config;
    config.auto_report = 2;
    config.host_alive_seconds = 1;
    add_all(poller, farm, config);
    // Six signals take two seconds; the terminal's one-second check must
    // never have counted the host as lost meanwhile.
    ASSERT_TRUE(run_until(poller, [&] {
        for (std::size_t i = 0; i < farm.farm().size(); ++i) {
            const auto t = farm.farm().terminal(i);
            EXPECT_FALSE(t.host_lost) << i;
            if (t.alive_signals < 6) {
                return false;
            }
        }
        return true;
    }));
    for (std::size_t i = 0; i < farm.farm().size(); ++i) {
        EXPECT_EQ(farm.farm().terminal(i).report_time, 2);
        EXPECT_EQ(farm.farm().terminal(i).alive_seconds, 1);
    }
}

// Reads what the socket holds, up to `bytes`, with rounds in between so that
// the Poller hands on more; returns what it read (less only when nothing
// more came in a bounded number of rounds).
std::size_t read_some(vq6120::Poller &poller, int fd, std::size_t bytes) {
    std::vector<std::uint8_t> chunk(std::max<std::size_t>(bytes, 1));
    std::size_t got = 0;
    for (int idle = 0; idle < 200 && got < bytes;) {
        const ssize_t n = ::recv(fd, chunk.data(), bytes - got, MSG_DONTWAIT);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else {
            ++idle;
            poller.run_once(10ms);
        }
    }
    return got;
}

// One 64 KiB frame to a terminal the test reads by hand at a pace per second
// of the Poller's clock. The send returns with the frame waiting (the loop
// never waits for the terminal) and the others carry on; the terminal is
// lost "not reading" 4 s (the default stall bound) after what waits for it
// last went down by a sixteenth of the default 256 KiB limit, to the
// millisecond, and one that reads faster than that is never cut off.
TEST(Poller, ASendNeverHoldsTheLoopAndATerminalReadingTooLittleIsLostNotReadingAtTheDefaultBound) {
    struct Case {
        const char *name;
        std::size_t bytes_per_second;
        std::chrono::milliseconds lost_at;  // 0: never
    };
    const Case cases[] = {
        {"stops reading", 0, 4000ms},
        {"reads 2 KiB a second: 8 KiB in the bound, below a sixteenth", 2048, 4000ms},
        {"reads 8 KiB a second", 8192, 0ms},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FarmThread farm(8);
        vq6120::test::Listener listener(4096);
        const Clock::time_point start = Clock::now();
        Clock::time_point now = start;
        vq6120::Poller poller({}, [&] { return now; });
        Record record;
        record.attach(poller);
        const auto others = add_all(poller, farm, {});
        const TerminalId slow = add_loopback(poller, listener.port());
        ASSERT_TRUE(run_until(poller, [&] { return poller.online() == others.size() + 1; }));
        const int fd = listener.accept(5000);
        ASSERT_GE(fd, 0);
        farm.command("traffic 20");

        vq6120::Terminal &t = *poller.terminal(slow);
        const int small = 4096;
        ::setsockopt(static_cast<int>(t.native_socket()), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        const std::vector<std::uint8_t> big(VQ6120_MAX_PAYLOAD, 0x55);
        ASSERT_TRUE(t.send_raw(0x40, 0x7E, 0, big));
        EXPECT_GT(poller.waiting_bytes(slow), VQ6120_MAX_PAYLOAD / 2);
        expect_others_carry_on(poller, record, others);

        const std::size_t frame_bytes = big.size() + 8;
        std::size_t received = 0;
        for (auto at = 0ms; at <= 20s; at += 1000ms) {
            if (c.lost_at != 0ms && at == c.lost_at) {
                now = start + at - 1ms;
                poller.run_once(0ms);
                EXPECT_EQ(poller.state(slow), State::Online);
                now = start + at;
                poller.run_once(0ms);
                break;
            }
            now = start + at;
            poller.run_once(0ms);
            ASSERT_EQ(poller.state(slow), State::Online) << "at " << at.count() << " ms";
            received += read_some(poller, fd, std::min(c.bytes_per_second, frame_bytes - received));
            if (c.lost_at == 0ms && received == frame_bytes && poller.waiting_bytes(slow) == 0) {
                break;
            }
        }
        if (c.lost_at != 0ms) {
            EXPECT_EQ(record.count(slow, State::Lost), 1u);
            EXPECT_EQ(record.count(slow, State::Lost, vq6120::reason::kNotReading), 1u);
        } else {
            EXPECT_EQ(received, frame_bytes);
            EXPECT_EQ(record.count(slow, State::Lost), 0u);
            EXPECT_EQ(poller.state(slow), State::Online);
        }
        for (const TerminalId id : others) {
            EXPECT_EQ(record.count(id, State::Lost), 0u);
        }
        ::close(fd);
    }
}

// With the Poller's bound above the library's and the Poller's clock held
// still, the library's own stall rule ends the connection of a terminal
// that never reads: the Poller names that "not reading" too, not a plain
// close.
TEST(Poller, ATerminalTheLibraryEndsByItsStallRuleIsLostNotReading) {
    vq6120::test::Listener listener(4096);
    const Clock::time_point now = Clock::now();
    vq6120::Poller poller({}, [&] { return now; });
    Record record;
    record.attach(poller);
    vq6120::TerminalConfig config;
    config.endpoint = {vq6120::test::TestPeer::loopback(), listener.port()};
    config.send_stall = std::chrono::seconds(VQ6120_SEND_STALL_SECONDS * 10);
    const TerminalId frozen = poller.add(config);
    ASSERT_TRUE(run_until(poller, [&] { return poller.state(frozen) == State::Online; }));
    const int fd = listener.accept(5000);
    ASSERT_GE(fd, 0);
    const std::vector<std::uint8_t> big(VQ6120_MAX_PAYLOAD, 0x55);
    ASSERT_TRUE(poller.terminal(frozen)->send_raw(0x40, 0x7E, 0, big));

    // Each round touches the terminal, so the library judges its rule (in
    // real time) while the Poller's clock never reaches its own bound.
    EXPECT_TRUE(run_until(
        poller,
        [&] {
            poller.terminal(frozen);
            return record.count(frozen, State::Lost) != 0;
        },
        std::chrono::seconds(VQ6120_SEND_STALL_SECONDS * 4)));
    EXPECT_EQ(record.count(frozen, State::Lost, vq6120::reason::kNotReading), 1u);
    ::close(fd);
}

// Redraws as a plant host sends them: numbered text lines in one batch,
// queued whole or refused whole.
struct Redraw {
    std::map<TerminalId, std::uint64_t> sent;  // lines accepted per terminal
    std::size_t lines = 400;

    static std::string line(std::uint64_t n) {
        char text[16];
        std::snprintf(text, sizeof text, "\n%05llu", static_cast<unsigned long long>(n % 100000));
        return text;
    }
    // False when it was refused.
    bool to(vq6120::Poller &p, TerminalId id) {
        vq6120::Terminal *t = p.terminal(id);
        if (t == nullptr) {
            return false;
        }
        auto batch = t->batch();
        for (std::size_t i = 0; i < lines; ++i) {
            t->write_text(line(sent[id] + i));
        }
        if (!batch.end()) {
            return false;
        }
        sent[id] += lines;
        return true;
    }
    // Redraws every terminal each round until `id` refuses one; the most
    // that waited for `id` meanwhile goes to `most`.
    bool until_refused(vq6120::Poller &p, const std::vector<TerminalId> &all, TerminalId id, std::int32_t &most) {
        return run_until(p, [&] {
            bool refused = false;
            for (const TerminalId each : all) {
                refused = !to(p, each) && each == id ? true : refused;
            }
            most = std::max(most, p.waiting_bytes(id));
            return refused;
        });
    }
};

bool host_connected(const vq6120::sim::FarmTerminalState &s) { return s.host_connected; }

// Rounds until what waits for a terminal that stopped reading stays put for
// a few rounds (the system may still move its last bytes into the peer's
// buffer, which is progress a moment later) and the healthy ones took all
// of theirs: the state in which the test then moves the clock.
bool settled(vq6120::Poller &p, TerminalId id, const std::vector<TerminalId> &healthy) {
    const auto live = [&p](TerminalId t) {
        vq6120::Terminal *terminal = p.terminal(t);
        return terminal != nullptr ? terminal->waiting_bytes() : -1;
    };
    int last = -1;
    int same = 0;
    return run_until(p, [&] {
        const int w = live(id);
        same = w == last ? same + 1 : 0;
        last = w;
        return same >= 5 && std::all_of(healthy.begin(), healthy.end(), [&](TerminalId t) { return live(t) == 0; });
    });
}

// Under redraw traffic one terminal stops reading. The loop never waits for
// it: the others keep delivering, what waits for it stays within its limit,
// it is lost "not reading" exactly at the stall bound of the Poller's clock,
// and its next loss after reset_after online keeps the backoff doubling.
TEST(Poller, AFrozenTerminalHoldsNoOneIsLostNotReadingAndEarnsNoFreshBackoff) {
    FarmThread farm(8);
    const Clock::time_point start = Clock::now();
    Clock::time_point now = start;
    vq6120::Backoff backoff;
    backoff.jitter = 0;
    vq6120::Poller poller(backoff, [&] { return now; });
    Record record;
    record.attach(poller);
    vq6120::TerminalConfig config;
    config.send_queue_limit = VQ6120_SEND_QUEUE_MIN;
    const auto ids = add_all(poller, farm, config);
    const TerminalId frozen = ids.front();
    const std::vector<TerminalId> others(ids.begin() + 1, ids.end());
    ASSERT_TRUE(run_until(poller, [&] { return poller.online() == ids.size() && farm.all(host_connected); }));
    farm.command("traffic 20");
    farm.command("on 0 freeze");

    Redraw redraw;
    std::int32_t most = 0;
    ASSERT_TRUE(redraw.until_refused(poller, ids, frozen, most));
    EXPECT_LE(most, VQ6120_SEND_QUEUE_MIN);
    EXPECT_TRUE(poller.behind(frozen));
    expect_others_carry_on(poller, record, others);
    ASSERT_TRUE(settled(poller, frozen, others));

    // Nothing went out to it since the clock stood at `start`.
    const auto stall = config.send_stall;
    now = start + stall - 1ms;
    for (int i = 0; i < 3; ++i) {
        poller.run_once(0ms);
    }
    EXPECT_EQ(poller.state(frozen), State::Online);
    now = start + stall;
    poller.run_once(0ms);
    ASSERT_EQ(record.count(frozen, State::Lost, vq6120::reason::kNotReading), 1u);
    EXPECT_EQ(record.changes[frozen].back().retry_at, now + backoff.initial);

    // Back, still frozen, online past reset_after when it is lost again: the
    // wait doubles instead of starting over.
    farm.command("on 0 thaw");
    ASSERT_TRUE(run_until(poller, [&] { return !farm.farm().state(0).host_connected; }));
    farm.command("on 0 freeze");
    now += backoff.initial;
    ASSERT_TRUE(run_until(poller, [&] { return poller.state(frozen) == State::Online; }));
    ASSERT_TRUE(redraw.until_refused(poller, ids, frozen, most));
    EXPECT_LE(most, VQ6120_SEND_QUEUE_MIN);
    ASSERT_TRUE(settled(poller, frozen, others));
    now += backoff.reset_after;
    poller.run_once(0ms);
    ASSERT_EQ(record.count(frozen, State::Lost, vq6120::reason::kNotReading), 2u);
    EXPECT_EQ(record.changes[frozen].back().retry_at, now + 2 * backoff.initial);
    for (const TerminalId id : others) {
        EXPECT_EQ(record.count(id, State::Lost), 0u) << record.changes[id].back().reason;
    }
}

// Thawed before the stall bound, the terminal receives every accepted line,
// whole and in order, and nothing else.
TEST(Poller, ATerminalThawedBeforeTheBoundGetsAllThatWaitedWholeAndInOrder) {
    FarmThread farm(1);
    const Clock::time_point now = Clock::now();
    vq6120::Poller poller({}, [&] { return now; });
    vq6120::TerminalConfig config;
    config.send_queue_limit = VQ6120_SEND_QUEUE_MIN;
    const auto ids = add_all(poller, farm, config);
    ASSERT_TRUE(run_until(poller, [&] { return poller.online() == 1 && farm.all(host_connected); }));
    farm.command("on 0 freeze");
    const std::uint64_t before = farm.farm().terminal(0).frames_handled;
    Redraw redraw;
    std::int32_t most = 0;
    ASSERT_TRUE(redraw.until_refused(poller, ids, ids[0], most));
    EXPECT_LE(most, VQ6120_SEND_QUEUE_MIN);
    const std::uint64_t sent = redraw.sent[ids[0]];
    farm.command("on 0 thaw");
    ASSERT_TRUE(run_until(poller, [&] {
        return poller.waiting_bytes(ids[0]) == 0 && farm.farm().terminal(0).frames_handled == before + sent;
    }, 60s)) << "waiting " << poller.waiting_bytes(ids[0]) << ", frames " << farm.farm().terminal(0).frames_handled - before
             << " of " << sent << ", state " << vq6120::to_string(*poller.state(ids[0]));
    const auto t = farm.farm().terminal(0);
    EXPECT_EQ(t.frames_ignored, 0u);
    // The last lines written, one per row, the newest at the bottom.
    for (int row = 0; row < t.text.rows(); ++row) {
        const std::string expected = Redraw::line(sent - static_cast<std::uint64_t>(t.text.rows() - row)).substr(1);
        EXPECT_EQ(t.text.row_text(row).substr(0, expected.size()), expected) << row;
    }
    EXPECT_EQ(poller.state(ids[0]), State::Online);
}

TEST(Poller, ATerminalSendingGarbageIsDroppedAndReconnectedWhileTheOthersCarryOn) {
    FarmThread farm(5);
    vq6120::test::Listener garbage_peer;
    std::promise<void> checked;
    std::thread peer([&garbage_peer, done = checked.get_future()] {
        // The first connection gets a frame on a channel no terminal has,
        // then bytes that are no frames at all; the second one is kept.
        const int first = garbage_peer.accept(20000);
        vq6120::test::write_all(first, vq6120::test::frame(0x99, 0x01, 0, {1, 2, 3}));
        vq6120::test::write_all(first, std::vector<std::uint8_t>(512, 0xEE));
        const int second = garbage_peer.accept(20000);
        done.wait();
        ::close(first);
        ::close(second);
    });
    vq6120::Backoff backoff;
    backoff.initial = 50ms;
    vq6120::Poller poller(backoff);
    Record record;
    record.attach(poller);
    const auto others = add_all(poller, farm, {});
    const TerminalId bad = add_loopback(poller, garbage_peer.port());
    farm.command("traffic 20");
    // The peer keeps its second connection until the checks are done, even
    // when one fails.
    const struct Release {
        std::promise<void> &checked;
        std::thread &peer;
        ~Release() {
            checked.set_value();
            peer.join();
        }
    } release{checked, peer};
    ASSERT_TRUE(run_until(poller, [&] { return record.count(bad, State::Online) == 2; }));
    EXPECT_EQ(record.count(bad, State::Lost, vq6120::reason::kClosed), 1u);
    expect_others_carry_on(poller, record, others);
}

TEST(Poller, RemovingTerminalsFromInsideCallbacksIsSafe) {
    // What the callback removes, given the calling terminal and the first
    // one; the check afterwards is how many terminals remain.
    struct Case {
        const char *name;
        bool from_event;  // else from the Online state change
        std::function<void(vq6120::Poller &, TerminalId self, TerminalId first)> act;
        std::size_t remaining;
    };
    const Case cases[] = {
        {"itself when online", false, [](auto &p, TerminalId self, TerminalId) { p.remove(self); }, 0},
        {"itself on an event, then commands on it",
         true,
         [](auto &p, TerminalId self, TerminalId) {
             vq6120::Terminal *t = p.terminal(self);
             p.remove(self);
             if (t != nullptr) {
                 EXPECT_FALSE(t->request_inputs());  // closed, not freed
             }
         },
         0},
        {"another on an event", true,
         [](auto &p, TerminalId self, TerminalId first) {
             if (self != first) {
                 p.remove(first);
             }
         },
         3},
        {"all on an event", true, [](auto &p, TerminalId, TerminalId) { p.remove_all(); }, 0},
    };
    FarmThread farm(4);
    farm.command("traffic 50 keys");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        vq6120::Poller poller;
        std::vector<TerminalId> ids;
        std::set<TerminalId> removed_seen;
        std::size_t late_callbacks = 0;
        const auto act = [&](TerminalId id) {
            if (!poller.state(id)) {
                ++late_callbacks;  // a callback for a removed terminal
                return;
            }
            c.act(poller, id, ids.front());
        };
        poller.on_state([&](const vq6120::StateChange &s) {
            if (!c.from_event && s.state == State::Online) {
                act(s.id);
            }
        });
        poller.on_event([&](TerminalId id, void *, vq6120::Event &) {
            if (c.from_event) {
                act(id);
            }
        });
        ids = add_all(poller, farm, {});
        ASSERT_TRUE(run_until(poller, [&] { return poller.size() == c.remaining; }));
        for (int i = 0; i < 10; ++i) {
            poller.run_once(20ms);
        }
        EXPECT_EQ(poller.size(), c.remaining);
        EXPECT_EQ(late_callbacks, 0u);
    }
}

TEST(Poller, AForeignDescriptorIsWatchedChangedAndUnwatchedFromItsOwnHandler) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK), 0);
    vq6120::Poller poller;
    std::vector<std::pair<bool, bool>> calls;
    vq6120::Poller::WatchId w = 0;
    // The write end: first waited on for nothing, then for room, then gone.
    w = poller.watch(pipe_fds[1], false, false, [&](bool readable, bool writable) {
        calls.emplace_back(readable, writable);
        EXPECT_TRUE(poller.unwatch(w));
    });
    ASSERT_NE(w, 0u);
    poller.run_once(20ms);
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(poller.rewatch(w, false, true));
    poller.run_once(1000ms);
    poller.run_once(20ms);
    EXPECT_EQ(calls, (std::vector<std::pair<bool, bool>>{{false, true}}));
    EXPECT_FALSE(poller.unwatch(w));
    ::close(pipe_fds[0]);
    ::close(pipe_fds[1]);
}

}  // namespace
