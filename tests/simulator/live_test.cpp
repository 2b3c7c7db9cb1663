// End to end: the simulator's server runs in-process on a free loopback port
// and the real library talks to it.
#include <arpa/inet.h>
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
#include "serve/server.hpp"

namespace vq6120::sim {
namespace {

using namespace std::chrono_literals;
using Payload = std::vector<std::uint8_t>;

struct Received {
    int result = VQ6120_RECV_NOTHING;
    Payload payload;
};

class LiveTerminal : public testing::Test {
protected:
    void SetUp() override {
        Options options;
        options.port = 0;
        sim_ = std::make_unique<Simulator>(options, out_, log_);
        std::string error;
        ASSERT_TRUE(sim_->open(error)) << error;
        loop_ = std::thread([this] { sim_->run(); });
        h_ = connect();
        ASSERT_NE(h_, nullptr);
        // Injected keys and data go only to a host the terminal has taken.
        ASSERT_TRUE(eventually([this] { return sim_->host_connected(); }));
    }

    void TearDown() override {
        ExitVQ6120(h_);
        sim_->stop();
        loop_.join();
    }

    VQ6120_HANDLE connect() { return InitialVQ6120(htonl(INADDR_LOOPBACK), sim_->port()); }

    // The next delivered payload, polling for up to `timeout`.
    Received receive(std::chrono::milliseconds timeout = 5s) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        Received r;
        std::uint8_t buf[VQ6120_MAX_RECEIVE_FRAME];
        while (std::chrono::steady_clock::now() < until) {
            std::int32_t len = sizeof buf;
            r.result = GetDataFromEthernet(h_, buf, &len, 1);
            if (r.result != VQ6120_RECV_NOTHING) {
                r.payload.assign(buf, buf + len);
                return r;
            }
        }
        return r;
    }

    void send(std::uint8_t ch, std::uint8_t command, std::uint8_t sub, Payload p = {}) {
        ASSERT_EQ(SendData(h_, ch, command, sub, p.data(), static_cast<std::uint32_t>(p.size())), 1);
    }

    // Frames are handled in order, so once the model-name reply is back
    // every frame sent before the request has been acted on.
    void sync() {
        send(0x40, 0x00, 0);
        const auto r = receive();
        ASSERT_EQ(r.result, VQ6120_RECV_MODEL_NAME);
    }

    // Waits on state the server loop changes; gives up after five seconds.
    static bool eventually(const std::function<bool()> &condition) {
        const auto until = std::chrono::steady_clock::now() + 5s;
        while (!condition()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::yield();
        }
        return true;
    }

    void disconnect_library() {
        ExitVQ6120(h_);
        h_ = nullptr;
        ASSERT_TRUE(eventually([this] { return !sim_->host_connected(); }));
    }

    int raw_connect() {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(sim_->port());
        EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
        return fd;
    }

    // True when the peer closed `fd` within five seconds.
    static bool closed_by_peer(int fd) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) {
            return false;
        }
        char c;
        return ::recv(fd, &c, 1, 0) <= 0;
    }

    std::string log() {
        sim_->stop();
        loop_.join();
        loop_ = std::thread([] {});
        return log_.str();
    }

    std::ostringstream out_;
    std::ostringstream log_;
    std::unique_ptr<Simulator> sim_;
    std::thread loop_;
    VQ6120_HANDLE h_ = nullptr;
};

TEST_F(LiveTerminal, ProbeFindsAVQ6120) {
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    send(0x40, 0x00, 0);
    const auto r = receive();
    EXPECT_EQ(r.result, VQ6120_RECV_MODEL_NAME);
    EXPECT_EQ(std::string(r.payload.begin(), r.payload.end()), "VQ6120-SIM");
}

TEST_F(LiveTerminal, DrawingCommandsShowOnTheGraphicScreen) {
    ASSERT_EQ(DrawLine(h_, 0, 0, 239, 63), 1);
    ASSERT_EQ(DrawRectangle(h_, 20, 15, 10, 5, 1), 1);
    ASSERT_EQ(DrawCircle(h_, 120, 32, 10, 0), 1);
    ASSERT_EQ(DrawRhombus(h_, 60, 30, 8, 12), 1);
    ASSERT_EQ(DrawEllipse(h_, 180, 40, 20, 6, 1), 1);
    ASSERT_EQ(DrawPixel(h_, 239, 0), 1);
    ASSERT_EQ(DrawAText(h_, 200, 0, "OK", 2), 1);
    sync();
    const auto t = sim_->terminal();
    EXPECT_TRUE(t.graphic.pixel(0, 0));
    EXPECT_TRUE(t.graphic.pixel(239, 63));
    EXPECT_TRUE(t.graphic.pixel(15, 10));
    EXPECT_TRUE(t.graphic.pixel(130, 32));
    EXPECT_FALSE(t.graphic.pixel(120, 32 - 1));
    EXPECT_TRUE(t.graphic.pixel(52, 30));
    EXPECT_TRUE(t.graphic.pixel(180, 40));  // filled ellipse centre
    EXPECT_TRUE(t.graphic.pixel(160, 40));
    EXPECT_TRUE(t.graphic.pixel(239, 0));
    EXPECT_TRUE(t.graphic.pixel(200, 1));  // 'O' left side
    ASSERT_EQ(ClearGraphicScreen(h_), 1);
    sync();
    EXPECT_EQ(sim_->terminal().graphic.count_on(), 0);
}

TEST_F(LiveTerminal, TextScreenAndKeyboardDisplay) {
    ASSERT_EQ(SetScreenCursorPos(h_, 12, 8), 1);  // column 2, row 1
    ASSERT_EQ(WriteText(h_, "abc", 3, 0), 1);
    ASSERT_EQ(WriteKeyboardText(h_, "KEY", 3, 1), 1);
    ASSERT_EQ(ScrolloneLine(h_, 0), 1);  // step 0xFF: up one row
    ASSERT_EQ(ScrollKeyboardoneLine(h_, 1), 1);  // step 0x01: down one row
    sync();
    const auto t = sim_->terminal();
    EXPECT_EQ(t.text.row_text(0).substr(0, 5), "  abc");
    EXPECT_EQ(t.keyboard.row_text(1).substr(0, 3), "KEY");
    EXPECT_TRUE(t.keyboard.at(0, 1).inverse);
    ASSERT_EQ(ClearText(h_), 1);
    ASSERT_EQ(ClearKeyboard(h_), 1);
    sync();
    EXPECT_EQ(sim_->terminal().text.row_text(0), std::string(40, ' '));
    EXPECT_EQ(sim_->terminal().keyboard.row_text(1), std::string(20, ' '));
}

TEST_F(LiveTerminal, OutputsLedBacklightBeeperAndSerialSettings) {
    ASSERT_EQ(WriteDOStatus(h_, 1, 0), 1);
    ASSERT_EQ(SetLED(h_, 1), 1);
    ASSERT_EQ(SetLCDBacklight(h_, 0), 1);
    ASSERT_EQ(SetBeeperTime(h_, 20, 10, 2), 1);
    ASSERT_EQ(ConfigureCOM(h_, 9600, 0, 8, 1, 0, 0, 1), 1);
    ASSERT_EQ(SetHostAliveCheck(h_, 5), 1);
    ASSERT_EQ(SendHostAlive(h_), 1);
    sync();
    const auto t = sim_->terminal();
    EXPECT_TRUE(t.digital_out[0]);
    EXPECT_FALSE(t.digital_out[1]);
    EXPECT_EQ(t.led, 1);
    EXPECT_FALSE(t.backlight);
    EXPECT_EQ(t.beeps, 2u);
    EXPECT_EQ(t.serial[0].describe(), "9600 8N1 no-flow opt 0");
    EXPECT_EQ(t.alive_seconds, 5);
    EXPECT_EQ(t.alive_signals, 1u);
    EXPECT_FALSE(t.host_lost);
}

TEST_F(LiveTerminal, DigitalInputsRoundTrip) {
    struct Case {
        const char *line;
        std::uint8_t first, second;
    };
    for (const Case c : {Case{"di 1 0", 1, 0}, Case{"di 0 1", 0, 2}, Case{"di 1 1", 1, 2}, Case{"di 0 0", 0, 0}}) {
        sim_->post(c.line);
        ASSERT_EQ(ReadDIStatus(h_), 1);
        const auto r = receive();
        ASSERT_EQ(r.result, VQ6120_RECV_DI_STATUS) << c.line;
        std::uint8_t first = 9, second = 9;
        EXPECT_EQ(ParseDIStatus(1, r.payload.data(), static_cast<std::int32_t>(r.payload.size()), &first, &second),
                  0);
        EXPECT_EQ(first, c.first) << c.line;
        EXPECT_EQ(second, c.second) << c.line;
    }
}

TEST_F(LiveTerminal, AutoReportSendsInputStatusRepeatedly) {
    sim_->post("di 0 1");
    ASSERT_EQ(SetAutoReportTime(h_, 1), 1);  // every 100 ms
    for (int i = 0; i < 2; ++i) {
        const auto r = receive();
        ASSERT_EQ(r.result, VQ6120_RECV_DI_STATUS);
        EXPECT_EQ(r.payload, (Payload{'0', '2'}));
    }
}

TEST_F(LiveTerminal, InjectedKeyReachesTheHost) {
    sim_->post("key 5");
    sim_->post("key 0xFF");
    for (const int code : {5, 255}) {
        const auto r = receive();
        ASSERT_EQ(r.result, VQ6120_RECV_FRAME_37);
        EXPECT_EQ(ParseKeypadMessage(1, r.payload.data(), static_cast<std::int32_t>(r.payload.size())), code);
    }
}

TEST_F(LiveTerminal, SerialDataIsEchoedAndInjectedOnBothPorts) {
    ASSERT_EQ(SendCOMData(h_, reinterpret_cast<const std::uint8_t *>("hello"), 5, 1), 1);
    auto r = receive();
    EXPECT_EQ(r.result, VQ6120_RECV_SERIAL_1);
    EXPECT_EQ(r.payload, (Payload{'h', 'e', 'l', 'l', 'o'}));
    const std::uint8_t two[] = {0x00, 0xFF};
    ASSERT_EQ(SendCOMData(h_, two, 2, 2), 1);
    r = receive();
    EXPECT_EQ(r.result, VQ6120_RECV_SERIAL_2);
    EXPECT_EQ(r.payload, (Payload{0x00, 0xFF}));
    sim_->post(R"(serial 2 "abc\n")");
    r = receive();
    EXPECT_EQ(r.result, VQ6120_RECV_SERIAL_2);
    EXPECT_EQ(r.payload, (Payload{'a', 'b', 'c', '\n'}));
    sim_->post(R"(serial 1 "z")");
    r = receive();
    EXPECT_EQ(r.result, VQ6120_RECV_SERIAL_1);
    EXPECT_EQ(r.payload, (Payload{'z'}));
}

TEST_F(LiveTerminal, LongSerialDataComesBackInFramesTheHostAccepts) {
    Payload data(40000);
    for (std::size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<std::uint8_t>(i * 7);
    }
    ASSERT_EQ(SendCOMData(h_, data.data(), static_cast<std::int32_t>(data.size()), 2), 1);
    Payload back;
    while (back.size() < data.size()) {
        const auto r = receive();
        ASSERT_EQ(r.result, VQ6120_RECV_SERIAL_2);
        ASSERT_LE(r.payload.size(), 32760u);
        back.insert(back.end(), r.payload.begin(), r.payload.end());
    }
    EXPECT_EQ(back, data);
}

TEST_F(LiveTerminal, OddChannelsAndCommandsAreLoggedAndServingGoesOn) {
    send(0x55, 0x01, 0x02, {1, 2, 3});
    send(0x40, 0x7F, 0);
    send(0x40, 0x43, 0, {1});  // pixel with a short payload
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    EXPECT_EQ(sim_->terminal().frames_ignored, 3u);
    const auto text = log();
    EXPECT_NE(text.find("unknown channel 0x55"), std::string::npos);
    EXPECT_NE(text.find("unknown command"), std::string::npos);
}

TEST_F(LiveTerminal, SecondHostIsClosedAtOnceAndTheFirstKeepsItsConnection) {
    const int second = raw_connect();
    EXPECT_TRUE(closed_by_peer(second));
    ::close(second);
    EXPECT_EQ(sim_->connections_refused(), 1u);
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    // The log says who holds the terminal, so the refused host's user can
    // find it.
    EXPECT_NE(log().find("the terminal is held by 127.0.0.1:"), std::string::npos);
}

TEST_F(LiveTerminal, LengthBelowEightDropsThatHostOnly) {
    disconnect_library();
    const int fd = raw_connect();
    const std::uint8_t bad[] = {0x04, 0x00, 0x40, 0, 0, 0, 0x00, 0x00};
    ASSERT_EQ(::send(fd, bad, sizeof bad, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof bad));
    EXPECT_TRUE(closed_by_peer(fd));
    ::close(fd);
    ASSERT_TRUE(eventually([this] { return !sim_->host_connected(); }));
    h_ = connect();
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    const auto text = log();
    EXPECT_NE(text.find("out of step"), std::string::npos) << text;
}

TEST_F(LiveTerminal, HostVanishingMidFrameLeavesTheSimulatorServing) {
    disconnect_library();
    const int fd = raw_connect();
    const std::uint8_t half[] = {0x10, 0x00, 0x40, 0, 0, 0, 0x47};  // 7 bytes of a 16-byte line
    ASSERT_EQ(::send(fd, half, sizeof half, MSG_NOSIGNAL), static_cast<ssize_t>(sizeof half));
    ASSERT_TRUE(eventually([this] { return sim_->host_connected(); }));
    ::close(fd);
    ASSERT_TRUE(eventually([this] { return !sim_->host_connected(); }));
    h_ = connect();
    ASSERT_NE(h_, nullptr);
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    EXPECT_EQ(sim_->terminal().graphic.count_on(), 0);
    EXPECT_NE(log().find("7 bytes of an unfinished frame dropped"), std::string::npos);
}

TEST_F(LiveTerminal, HostsOneAfterAnother) {
    for (int i = 0; i < 3; ++i) {
        send(0x40, 0x43, 0, {0, static_cast<std::uint8_t>(i), 0, 0});
        EXPECT_EQ(GetConnectStatus(h_, 2), 1);
        disconnect_library();
        h_ = connect();
        ASSERT_NE(h_, nullptr);
    }
    EXPECT_EQ(GetConnectStatus(h_, 2), 1);
    EXPECT_EQ(sim_->terminal().graphic.count_on(), 3);  // the screen outlives a connection
}

}  // namespace
}  // namespace vq6120::sim
