// The live view without a browser: its JSON, its refusals, its event stream,
// with the simulator in-process, a library host connected and real HTTP.
#include <httplib.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <thread>

#include "VQ6120_LIB.h"
#include "farm/farm.hpp"
#include "serve/server.hpp"
#include "web/api.hpp"
#include "web/feed.hpp"
#include "web/server.hpp"

namespace vq6120::sim {
namespace {

using namespace std::chrono_literals;
using nlohmann::json;

class LiveView_ : public testing::Test {
protected:
    void SetUp() override {
        Options options;
        options.port = 0;
        sim_ = std::make_unique<Simulator>(options, out_, log_);
        std::string error;
        ASSERT_TRUE(sim_->open(error)) << error;
        LiveOptions web;
        web.max_streams = 2;
        view_ = std::make_unique<LiveView>(live_source(*sim_), web);
        ASSERT_TRUE(view_->start(error)) << error;
        sim_->watch(view_->watcher());
        loop_ = std::thread([this] { sim_->run(); });
        h_ = InitialVQ6120(htonl(INADDR_LOOPBACK), sim_->port());
        ASSERT_NE(h_, nullptr);
        ASSERT_EQ(GetConnectStatus(h_, 5), 1);  // answered: the host is taken
    }

    void TearDown() override {
        ExitVQ6120(h_);
        sim_->stop();
        loop_.join();
        view_->stop();
    }

    httplib::Client client() {
        httplib::Client c("127.0.0.1", view_->port());
        c.set_read_timeout(10);
        return c;
    }

    int post(const std::string &path, const std::string &body, const char *type = "application/json") {
        const auto r = client().Post(path.c_str(), body, type);
        return r ? r->status : -1;
    }

    json state() {
        const auto r = client().Get("/state.json");
        return r && r->status == 200 ? json::parse(r->body) : json();
    }

    // The next payload the host gets, result and bytes.
    std::pair<int, std::string> receive() {
        std::uint8_t buf[VQ6120_MAX_RECEIVE_FRAME];
        for (int i = 0; i < 500; ++i) {
            std::int32_t len = sizeof buf;
            const int r = GetDataFromEthernet(h_, buf, &len, 1);
            if (r != VQ6120_RECV_NOTHING) {
                return {r, std::string(buf, buf + len)};
            }
        }
        return {VQ6120_RECV_NOTHING, {}};
    }

    std::ostringstream out_, log_;
    std::unique_ptr<Simulator> sim_;
    std::unique_ptr<LiveView> view_;
    std::thread loop_;
    VQ6120_HANDLE h_ = nullptr;
};

TEST_F(LiveView_, MalformedRequestsAreRefusedAndChangeNothing) {
    struct Case {
        const char *path;
        std::string body;
        const char *type;
        int status;
    };
    const Case cases[] = {
        {"/key", "{\"code\": 5", "application/json", 400},               // not JSON
        {"/key", "[5]", "application/json", 400},                        // not an object
        {"/key", "{\"code\": 256}", "application/json", 400},            // no such key
        {"/key", "{\"code\": -1}", "application/json", 400},
        {"/key", "{\"code\": \"5\"}", "application/json", 400},
        {"/key", "{\"code\": 5.5}", "application/json", 400},
        {"/key", "{\"code\": 5, \"repeat\": 3}", "application/json", 400},  // unknown field
        {"/key", "{\"code\": 5}", "text/plain", 415},                     // a form of another site
        {"/inputs", "{\"di1\": 1}", "application/json", 400},
        {"/inputs", "{\"di1\": 2, \"di2\": 0}", "application/json", 400},
        {"/serial", "{\"port\": 3, \"text\": \"x\"}", "application/json", 400},
        {"/serial", "{\"port\": 1, \"text\": \"\"}", "application/json", 400},
        {"/serial", json{{"port", 1}, {"text", std::string(kMaxSerialLine + 1, 'x')}}.dump(), "application/json", 413},
        {"/serial", std::string(64 * 1024, ' '), "application/json", 413},  // past the body limit
        {"/reset", "{}", "application/json", 404},
    };
    const json before = state();
    for (const auto &c : cases) {
        EXPECT_EQ(post(c.path, c.body, c.type), c.status) << c.path << " " << c.body.substr(0, 40);
    }
    // Nothing reached the host, and the terminal is as it was.
    ReadDIStatus(h_);
    const auto [result, payload] = receive();
    EXPECT_EQ(result, VQ6120_RECV_DI_STATUS);
    EXPECT_EQ(payload, "00");
    json after = state();
    after["frames_handled"] = before["frames_handled"];
    EXPECT_EQ(after, before);
}

TEST_F(LiveView_, RequestsReachTheHostAndTheStateShowsWhatItDrew) {
    ASSERT_EQ(post("/key", "{\"code\": 200}"), 200);
    EXPECT_EQ(receive(), std::make_pair(int{VQ6120_RECV_FRAME_37}, std::string("\xC8")));

    ASSERT_EQ(post("/inputs", "{\"di1\": false, \"di2\": true}"), 200);
    ASSERT_EQ(post("/serial", json{{"port", 2}, {"text", "a\"b\\\x01\r\n\xC3\xA9"}}.dump()), 200);
    EXPECT_EQ(receive(), std::make_pair(int{VQ6120_RECV_SERIAL_2}, std::string("a\"b\\\x01\r\n\xC3\xA9")));
    ReadDIStatus(h_);
    EXPECT_EQ(receive(), std::make_pair(int{VQ6120_RECV_DI_STATUS}, std::string("02")));

    DrawPixel(h_, 5, 2);
    SetScreenCursorPos(h_, 6, 8);
    WriteText(h_, "Hi\x01", 3, 1);
    ASSERT_EQ(GetConnectStatus(h_, 5), 1);  // answered: the frames before it were handled
    const json s = state();
    EXPECT_EQ(s["screen"]["rows"][2].get<std::string>().substr(0, 2), "04");  // pixel 5: digit 1, bit 2
    EXPECT_EQ(s["text"]["lines"][1].get<std::string>().substr(0, 7), " Hi\xE2\x96\xA1 ");
    EXPECT_EQ(s["text"]["inverse"][1].get<std::string>().substr(0, 5), "01110");
    EXPECT_EQ(s["text"]["cursor"], json::array({4, 1}));
    EXPECT_EQ(s["inputs"], json::array({false, true}));
    EXPECT_EQ(s["serial"][1]["rx"], 9);
    EXPECT_EQ(s["connected"], true);
}

TEST_F(LiveView_, ASecondViewCannotTakeThePort) {
    LiveOptions same;
    same.port = view_->port();
    LiveView second(live_source(*sim_), same);
    std::string error;
    EXPECT_FALSE(second.start(error));
    EXPECT_NE(error.find("cannot listen"), std::string::npos);
}

// Reads one event stream as a browser would; a bounded number are served, and
// past that JSON requests still are.
TEST_F(LiveView_, EventStreamsCarryTheFrameLogAndAreBounded) {
    // Each reads until the key pressed below shows up in its log.
    std::string seen[2];
    std::atomic<int> open{0};
    const auto read = [&](std::string &into) {
        client().Get("/events", [&](const char *data, std::size_t n) {
            open += into.empty() ? 1 : 0;
            into.append(data, n);
            return into.find("key 9") == std::string::npos;
        });
    };
    std::thread first(read, std::ref(seen[0]));
    std::thread second(read, std::ref(seen[1]));
    for (int i = 0; i < 1000 && open < 2; ++i) {
        std::this_thread::sleep_for(5ms);
    }
    ASSERT_EQ(open, 2);
    int third = 0;
    client().Get(
        "/events", [&](const httplib::Response &r) { return third = r.status, false; },
        [](const char *, std::size_t) { return false; });
    EXPECT_EQ(third, 503);
    EXPECT_TRUE(state().contains("screen"));
    EXPECT_EQ(post("/key", "{\"code\": 9}"), 200);
    EXPECT_EQ(receive().first, VQ6120_RECV_FRAME_37);
    first.join();
    second.join();
    for (const auto &events : seen) {
        // The key frame as `vq6120 monitor` prints it, and the state.
        EXPECT_NE(events.find("channel 0x40 command 0x37 (key) length 1 [09] \\\".\\\" key 9"),
                  std::string::npos);
        EXPECT_NE(events.find("\"state\":{"), std::string::npos);
    }
}

// What happened before any page was opened is in the first page's logs:
// frames both ways and the serial consoles.
TEST_F(LiveView_, APageOpenedLaterShowsWhatCameBefore) {
    for (int k = 0; k < 10; ++k) {
        ASSERT_EQ(SetLED(h_, static_cast<std::uint8_t>(k)), 1);
    }
    const char early[] = "early bird";
    ASSERT_EQ(SendCOMData(h_, reinterpret_cast<const std::uint8_t *>(early), sizeof early - 1, 1), 1);
    ASSERT_EQ(post("/serial", json{{"port", 2}, {"text", "from the operator"}}.dump()), 200);
    int result = VQ6120_RECV_NOTHING;
    for (int k = 0; k < 3 && result != VQ6120_RECV_SERIAL_2; ++k) {
        result = receive().first;  // the terminal echoes port 1's data first
    }
    EXPECT_EQ(result, VQ6120_RECV_SERIAL_2);
    ASSERT_EQ(GetConnectStatus(h_, 5), 1);  // answered: everything before it was handled
    std::string events;
    client().Get("/events", [&](const char *data, std::size_t n) {
        events.append(data, n);
        return events.find("\n\n") == std::string::npos;  // the first event
    });
    for (const char *early_one : {"early bird", "from the operator", "led:"}) {
        EXPECT_NE(events.find(early_one), std::string::npos) << early_one << "\n" << events.substr(0, 400);
    }
}

// The logs stay bounded however many terminals talk: per log, and over all
// terminals together, the oldest entries go first.
TEST(LiveFeedBounds, KeepsTheNewestWithinTheBounds) {
    struct Case {
        std::size_t terminals;
        std::size_t payload;  // bytes of serial data per frame
        std::size_t frames;   // per terminal
    };
    const Case cases[] = {
        {1, 10, LiveFeed::kKeep * 2},                               // the count per log
        {60, 8000, 4},                                              // the bytes over all
        {LiveFeed::kKeepEntries / 4, 1, 4},                         // the entries over all
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.terminals);
        LiveFeed feed;
        std::uint64_t last = 0;
        for (std::size_t f = 0; f < c.frames; ++f) {
            for (std::size_t t = 0; t < c.terminals; ++t) {
                const OutFrame serial{channel::kSerial1, 0, 0, Bytes(c.payload, 'x')};
                feed.frame(t, false, serial, "");
            }
        }
        std::size_t entries = 0, bytes = 0;
        for (std::size_t t = 0; t < c.terminals; ++t) {
            for (const auto &log : {feed.frames_after(t, 0), feed.serial_after(t, 0)}) {
                EXPECT_LE(log.size(), LiveFeed::kKeep);
                entries += log.size();
                for (const auto &e : log) {
                    bytes += e.text.size();
                    last = std::max(last, e.seq);
                }
            }
        }
        EXPECT_LE(bytes, LiveFeed::kKeepBytes);
        EXPECT_LE(entries, LiveFeed::kKeepEntries);
        EXPECT_GT(entries, 0u);
        EXPECT_LT(entries, 2 * c.terminals * c.frames);  // each case goes past its bound
        // The newest entry of the last terminal is always there.
        const auto newest = feed.serial_after(c.terminals - 1, 0);
        ASSERT_FALSE(newest.empty());
        EXPECT_EQ(newest.back().seq, last);
    }
}

// A farm's terminals: listed, each opened and driven on its own.
TEST(LiveViewFarm, ListsTheTerminalsAndDrivesTheOneAsked) {
    std::ostringstream out, log;
    FarmOptions options;
    options.port = 0;
    options.terminals = 3;
    Farm farm(options, out, log);
    std::string error;
    ASSERT_TRUE(farm.open(error)) << error;
    LiveView view(live_source(farm), LiveOptions{});
    ASSERT_TRUE(view.start(error)) << error;
    farm.watch(view.watcher());
    std::thread loop([&] { farm.run(); });
    VQ6120_HANDLE h = InitialVQ6120(htonl(INADDR_LOOPBACK), farm.port(2));
    ASSERT_EQ(GetConnectStatus(h, 5), 1);

    httplib::Client c("127.0.0.1", view.port());
    const auto list = json::parse(c.Get("/terminals.json")->body)["terminals"];
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[2]["port"], farm.port(2));
    EXPECT_EQ(list[2]["connected"], true);
    EXPECT_EQ(list[1]["connected"], false);
    EXPECT_EQ(c.Post("/key?t=2", "{\"code\": 42}", "application/json")->status, 200);
    std::uint8_t buf[VQ6120_MAX_RECEIVE_FRAME];
    int result = VQ6120_RECV_NOTHING;
    std::int32_t len = 0;
    for (int i = 0; i < 500 && result == VQ6120_RECV_NOTHING; ++i) {
        len = sizeof buf;
        result = GetDataFromEthernet(h, buf, &len, 1);
    }
    EXPECT_EQ(result, VQ6120_RECV_FRAME_37);
    EXPECT_EQ(ParseKeypadMessage(1, buf, len), 42);
    for (const char *bad : {"/state.json?t=3", "/state.json?t=x", "/state.json?t=-1", "/events?t=99"}) {
        EXPECT_EQ(c.Get(bad)->status, 404) << bad;
    }
    EXPECT_EQ(c.Post("/key?t=3", "{\"code\": 1}", "application/json")->status, 404);
    EXPECT_EQ(json::parse(c.Get("/state.json?t=2")->body)["terminal"]["index"], 2);

    ExitVQ6120(h);
    farm.stop();
    loop.join();
    view.stop();
}

}  // namespace
}  // namespace vq6120::sim
