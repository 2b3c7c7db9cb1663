// The farm: many terminals in one process, each answering through the real
// library; its traffic; and each fault doing what it says while the other
// terminals carry on. In-process for the faults, as a child process with
// 1,000 terminals for the scale.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "VQ6120_LIB.h"
#include "child_process.hpp"
#include "farm/farm.hpp"

namespace vq6120::sim {
namespace {

using namespace std::chrono_literals;

// The next payload delivered within `timeout` (its receive result in
// `result`), or VQ6120_RECV_NOTHING.
int receive(VQ6120_HANDLE h, std::chrono::milliseconds timeout, std::vector<std::uint8_t> *payload = nullptr) {
    const auto until = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buf[VQ6120_MAX_RECEIVE_FRAME];
    while (std::chrono::steady_clock::now() < until) {
        std::int32_t len = sizeof buf;
        const int r = GetDataFromEthernet(h, buf, &len, 1);
        if (r != VQ6120_RECV_NOTHING) {
            if (payload != nullptr) {
                payload->assign(buf, buf + len);
            }
            return r;
        }
    }
    return VQ6120_RECV_NOTHING;
}

bool eventually(const std::function<bool()> &condition) {
    const auto until = std::chrono::steady_clock::now() + 5s;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// A non-blocking connect to a loopback port; `connected_within` tells
// whether the handshake finished.
int start_connect(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    ::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
    return fd;
}

bool connected_within(int fd, int ms) {
    pollfd p{fd, POLLOUT, 0};
    int error = 0;
    socklen_t len = sizeof error;
    return ::poll(&p, 1, ms) == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

class FarmInProcess : public testing::Test {
public:  // the fault cases below reach in from a table
    static constexpr std::size_t kTerminals = 50;

    void SetUp() override {
        FarmOptions options;
        options.port = 0;
        options.terminals = kTerminals;
        farm_ = std::make_unique<Farm>(options, out_, log_);
        std::string error;
        ASSERT_TRUE(farm_->open(error)) << error;
        loop_ = std::thread([this] { farm_->run(); });
    }

    void TearDown() override {
        farm_->stop();
        loop_.join();
    }

    VQ6120_HANDLE open(std::size_t i) { return InitialVQ6120(htonl(INADDR_LOOPBACK), farm_->port(i)); }

    void command(const std::string &line) {
        std::string error;
        ASSERT_TRUE(farm_->command(line, &error)) << line << ": " << error;
    }

    // The host sees its connection end after `fault`; a new one is served
    // as ever.
    void closed_then_served_again(std::size_t i, const std::string &fault) {
        VQ6120_HANDLE h = open(i);
        ASSERT_EQ(GetConnectStatus(h, 2), 1);
        command("on " + std::to_string(i) + " " + fault);
        EXPECT_EQ(receive(h, 5s), VQ6120_RECV_CLOSED);
        ExitVQ6120(h);
        h = open(i);
        EXPECT_EQ(GetConnectStatus(h, 2), 1);
        ExitVQ6120(h);
    }

    std::ostringstream out_;
    std::ostringstream log_;
    std::unique_ptr<Farm> farm_;
    std::thread loop_;
};

TEST_F(FarmInProcess, EveryTerminalAnswersAndKeepsItsOwnState) {
    std::vector<VQ6120_HANDLE> hosts;
    for (std::size_t i = 0; i < kTerminals; ++i) {
        hosts.push_back(open(i));
        ASSERT_NE(hosts.back(), nullptr) << i;
        EXPECT_EQ(SetLED(hosts.back(), static_cast<std::uint8_t>(i)), 1);
    }
    for (std::size_t i = 0; i < kTerminals; ++i) {
        EXPECT_EQ(GetConnectStatus(hosts[i], 2), 1) << i;  // also: the LED frame before it was handled
        EXPECT_EQ(farm_->terminal(i).led, i) << i;
        const FarmTerminalState st = farm_->state(i);
        EXPECT_TRUE(st.host_connected);
        EXPECT_EQ(st.host.rfind("127.0.0.1:", 0), 0u) << st.host;
    }
    // One host at a time, per terminal.
    VQ6120_HANDLE second = open(3);
    EXPECT_TRUE(second == nullptr || receive(second, 5s) == VQ6120_RECV_CLOSED);
    ExitVQ6120(second);
    EXPECT_TRUE(eventually([&] { return farm_->state(3).refused == 1; }));
    EXPECT_EQ(GetConnectStatus(hosts[3], 2), 1);
    for (auto h : hosts) {
        ExitVQ6120(h);
    }
}

TEST_F(FarmInProcess, AHostThatReconnectsAtOnceIsTakenNotRefused) {
    // Its old connection's close and its new handshake reach the farm in
    // the same turn; the close is read first.
    VQ6120_HANDLE h = open(5);
    for (int k = 0; k < 50; ++k) {
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(SetLED(h, 1), 1);
        ExitVQ6120(h);
        h = open(5);
        ASSERT_EQ(GetConnectStatus(h, 2), 1) << k;
    }
    ExitVQ6120(h);
    EXPECT_EQ(farm_->state(5).refused, 0u);
}

TEST_F(FarmInProcess, TrafficCarriesConsecutiveSequenceNumbersAndMonotonicSendTimes) {
    struct Case {
        std::size_t terminal;
        const char *kind;
        int result;
    };
    const Case cases[] = {{7, "serial 2", VQ6120_RECV_SERIAL_2}, {8, "keys", VQ6120_RECV_FRAME_37}};
    auto monotonic_ns = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(ts.tv_nsec);
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.kind);
        VQ6120_HANDLE h = open(c.terminal);
        ASSERT_NE(h, nullptr);
        ASSERT_EQ(GetConnectStatus(h, 2), 1);
        const std::uint64_t before = monotonic_ns();
        const std::string on = "on " + std::to_string(c.terminal) + " traffic ";
        command(on + "500 " + c.kind);
        for (std::uint64_t expected = 0; expected < 20; ++expected) {
            std::vector<std::uint8_t> payload;
            ASSERT_EQ(receive(h, 5s, &payload), c.result);
            if (c.result == VQ6120_RECV_FRAME_37) {
                ASSERT_EQ(payload.size(), 1u);  // the key code: the sequence number's low byte
                EXPECT_EQ(payload[0], expected);
                continue;
            }
            const auto stamp = read_traffic_stamp(payload);
            ASSERT_TRUE(stamp.has_value());
            EXPECT_EQ(stamp->sequence, expected);
            EXPECT_GE(stamp->sent_ns, before);
            EXPECT_LE(stamp->sent_ns, monotonic_ns());
        }
        command(on + "0");
        ExitVQ6120(h);
    }
    EXPECT_EQ(farm_->state(9).traffic_sent, 0u);  // only the terminals it was aimed at
}

// A host that sets its auto report while the terminal is silent gets the
// reports from `speak` on, though it sends nothing more: the terminal went on
// acting on frames while silent, and speaking needs no frame from the host.
TEST_F(FarmInProcess, ReportsSetWhileSilentStartAtSpeakWithoutAnotherFrame) {
    constexpr std::size_t i = 2;
    command("on 2 silent");
    VQ6120_HANDLE h = open(i);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetAutoReportTime(h, 10), 1);  // every second
    ASSERT_TRUE(eventually([&] { return farm_->terminal(i).report_time == 10; }));
    EXPECT_EQ(receive(h, 300ms), VQ6120_RECV_NOTHING);
    command("on 2 speak");
    // Within one period, given a doubled bound; then on and on.
    EXPECT_EQ(receive(h, 2s), VQ6120_RECV_DI_STATUS);
    EXPECT_EQ(receive(h, 2s), VQ6120_RECV_DI_STATUS);
    ExitVQ6120(h);
}

// Each fault on one terminal, then its undo; every case also checks that
// another terminal goes on answering meanwhile.
TEST_F(FarmInProcess, EachFaultDoesWhatItSaysAndTheOthersCarryOn) {
    struct Case {
        const char *fault;
        const char *undo;
        std::function<void(FarmInProcess &, std::size_t)> check;
    };
    const Case cases[] = {
        {"freeze", "thaw",
         [](FarmInProcess &t, std::size_t i) {
             // A host's large send stalls once the socket buffers are full,
             // and goes through once the terminal reads again.
             const int fd = start_connect(t.farm_->port(i));
             ASSERT_TRUE(connected_within(fd, 5000));
             ASSERT_TRUE(eventually([&] { return t.farm_->state(i).host_connected; }));
             t.command("on " + std::to_string(i) + " freeze");
             const std::uint8_t pixel[12] = {12, 0, 0x40, 0, 0, 0, 0x43, 0, 0, 1, 0, 1};
             std::vector<std::uint8_t> frames;
             for (int k = 0; k < 4096; ++k) {
                 frames.insert(frames.end(), pixel, pixel + sizeof pixel);
             }
             std::size_t sent = 0;
             while (sent < (std::size_t{256} << 20)) {
                 const ssize_t n = ::send(fd, frames.data(), frames.size(), MSG_NOSIGNAL);
                 if (n < 0) {
                     pollfd p{fd, POLLOUT, 0};
                     if (::poll(&p, 1, 300) == 0) {
                         break;  // stalled
                     }
                     continue;
                 }
                 sent += static_cast<std::size_t>(n);
                 // Whole frames only, so the stream stays in step.
                 if (n % static_cast<ssize_t>(sizeof pixel) != 0) {
                     const std::size_t rest = sizeof pixel - static_cast<std::size_t>(n) % sizeof pixel;
                     ::fcntl(fd, F_SETFL, 0);
                     ASSERT_EQ(::send(fd, frames.data() + n, rest, MSG_NOSIGNAL), static_cast<ssize_t>(rest));
                     ::fcntl(fd, F_SETFL, O_NONBLOCK);
                     sent += rest;
                 }
             }
             EXPECT_LT(sent, std::size_t{256} << 20) << "the send never stalled";
             t.command("on " + std::to_string(i) + " thaw");
             EXPECT_TRUE(eventually([&] { return t.farm_->terminal(i).frames_handled == sent / sizeof pixel; }));
             ::close(fd);
         }},
        {"noaccept", "accept",
         [](FarmInProcess &t, std::size_t i) {
             // The handshake is not answered: a bounded open runs out, an
             // open started meanwhile completes once accepting again.
             t.command("on " + std::to_string(i) + " noaccept");
             EXPECT_EQ(VQ6120Ex_Open(htonl(INADDR_LOOPBACK), t.farm_->port(i), 300), nullptr);
             VQ6120_HANDLE h = VQ6120Ex_StartOpen(htonl(INADDR_LOOPBACK), t.farm_->port(i));
             ASSERT_NE(h, nullptr);
             EXPECT_EQ(VQ6120Ex_FinishOpen(h, 300), -1);
             t.command("on " + std::to_string(i) + " accept");
             EXPECT_EQ(VQ6120Ex_FinishOpen(h, 5000), 1);  // the kernel's next handshake attempt gets in
             EXPECT_EQ(GetConnectStatus(h, 2), 1);
             ExitVQ6120(h);
         }},
        {"drop", nullptr, [](FarmInProcess &t, std::size_t i) { t.closed_then_served_again(i, "drop"); }},
        // The library takes a frame on an unknown channel as the end of the
        // connection.
        {"garbage", nullptr, [](FarmInProcess &t, std::size_t i) { t.closed_then_served_again(i, "garbage"); }},
        {"silent", "speak",
         [](FarmInProcess &t, std::size_t i) {
             // Nothing comes back, yet the terminal goes on reading.
             VQ6120_HANDLE h = t.open(i);
             ASSERT_EQ(SetAutoReportTime(h, 1), 1);
             ASSERT_EQ(receive(h, 5s), VQ6120_RECV_DI_STATUS);
             t.command("on " + std::to_string(i) + " silent");
             const auto handled = t.farm_->terminal(i).frames_handled;
             ASSERT_EQ(GetModalName(h), 1);
             EXPECT_TRUE(eventually([&] { return t.farm_->terminal(i).frames_handled == handled + 1; }));
             EXPECT_EQ(receive(h, 300ms), VQ6120_RECV_NOTHING);
             t.command("on " + std::to_string(i) + " speak");
             EXPECT_EQ(GetConnectStatus(h, 2), 1);
             ExitVQ6120(h);
         }},
        {"restart 200ms", nullptr,
         [](FarmInProcess &t, std::size_t i) {
             // Hosts see the connection closed, then reconnect.
             VQ6120_HANDLE h = t.open(i);
             ASSERT_EQ(GetConnectStatus(h, 2), 1);
             t.command("on " + std::to_string(i) + " restart 200ms");
             EXPECT_EQ(receive(h, 5s), VQ6120_RECV_CLOSED);
             ExitVQ6120(h);
             h = nullptr;
             EXPECT_TRUE(eventually([&] { return (h = t.open(i)) != nullptr; }));
             EXPECT_EQ(GetConnectStatus(h, 2), 1);
             EXPECT_EQ(t.farm_->state(i).connections, 2u);
             ExitVQ6120(h);
         }},
    };
    VQ6120_HANDLE other = open(kTerminals - 1);
    ASSERT_NE(other, nullptr);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(cases[i].fault);
        cases[i].check(*this, i);
        EXPECT_EQ(GetConnectStatus(other, 2), 1);
        const FarmTerminalState st = farm_->state(i);
        EXPECT_FALSE(st.frozen || st.silent || st.not_accepting || st.down);
    }
    ExitVQ6120(other);
}

// 1,000 terminals as the program runs them: the ports line parsed, every
// terminal probed through the library, the status line agrees.
TEST(FarmProcess, AThousandTerminalsEachAnswerTheProbe) {
    constexpr std::size_t kTerminals = 1000;
    Child farm = spawn({VQ6120_SIM_PATH, "--port", "0", "--terminals", std::to_string(kTerminals)}, true);
    std::istringstream line(read_from(farm.out, false));
    std::string word;
    line >> word;
    ASSERT_EQ(word, "ports:");
    std::vector<std::uint16_t> ports;
    while (line >> word) {
        const auto dash = word.find('-');
        const int first = std::stoi(word.substr(0, dash));
        const int last = dash == std::string::npos ? first : std::stoi(word.substr(dash + 1));
        for (int p = first; p <= last; ++p) {
            ports.push_back(static_cast<std::uint16_t>(p));
        }
    }
    ASSERT_EQ(ports.size(), kTerminals);
    std::vector<VQ6120_HANDLE> hosts;
    for (const auto port : ports) {
        hosts.push_back(InitialVQ6120(htonl(INADDR_LOOPBACK), port));
        ASSERT_NE(hosts.back(), nullptr) << port;
        ASSERT_EQ(GetModalName(hosts.back()), 1);
    }
    for (auto h : hosts) {
        EXPECT_EQ(GetConnectStatus(h, 5), 1);
    }
    write_all(farm.in, "status\n");
    EXPECT_EQ(read_from(farm.out, false).rfind("farm: 1000 terminals, 1000 connected,", 0), 0u);
    for (auto h : hosts) {
        ExitVQ6120(h);
    }
    write_all(farm.in, "quit\n");
    EXPECT_EQ(exit_status(farm.pid), 0);
    ::close(farm.in);
    ::close(farm.out);
}

}  // namespace
}  // namespace vq6120::sim
