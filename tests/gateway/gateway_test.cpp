// The gateway against a real mosquitto and real virtual terminals, each in
// its own process; the terminal's state is read from the simulator's dump.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "config.hpp"
#include "vq6120/screen/canvas.hpp"
#include "fixture.hpp"
#include "harness.hpp"
#include "payloads.hpp"
#include "vq6120/display/render.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;

bool pixel(const std::string &dump, int x, int y) {
    std::istringstream lines(dump);
    std::string line;
    for (int i = 0; i <= y + 2 && std::getline(lines, line);) ++i;
    return line.size() > static_cast<std::size_t>(x + 1) && line[static_cast<std::size_t>(x) + 1] == '#';
}

// A pixel drawn within a second.
bool pixel_soon(Farm &farm, std::size_t i, int x, int y) {
    return farm.dump_soon(i, [&](const std::string &d) { return pixel(d, x, y); }, 1s);
}

// Serial bytes and other binary payloads travel as base64: every byte value
// survives the round trip, and only strict, padded base64 is taken in.
TEST(GatewayPayloads, Base64CarriesEveryByteAndRefusesWhatIsNotBase64) {
    std::vector<std::uint8_t> all(256);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
    for (std::size_t n : {0, 1, 2, 3, 4, 255, 256}) {
        const std::span<const std::uint8_t> bytes(all.data(), n);
        std::string back;
        ASSERT_TRUE(unbase64(base64(bytes), back)) << n;
        EXPECT_EQ(back, std::string(reinterpret_cast<const char *>(bytes.data()), n)) << n;
    }
    EXPECT_EQ(base64(std::vector<std::uint8_t>{0x00, 0xFF}), "AP8=");
    std::string out;
    for (const char *bad : {"AP8", "AP 8=", "A=P8", "AP8=AP8=", "AP8*", "====", " AP8="}) {
        EXPECT_FALSE(unbase64(bad, out)) << bad;
    }
}

// Each test's processes log into its scratch directory, kept when it fails.
using GatewayTest = ScratchTest;

TEST_F(GatewayTest, ConfigRefusalsNameTheFieldAndWhereItIs) {
    const json good = test_config(1883, "gw", {{"t1", 16120}, {"t2", 16121}});
    ASSERT_TRUE(parse_config(good.dump()).config);
    struct Case {
        std::string pointer;  // where to change the good file
        json value;           // null: remove the member
        std::string where;    // the pointer the refusal names
        std::string says;
    };
    const Case cases[] = {
        {"/broker/client_id", nullptr, "/broker/client_id", "missing"},
        {"/terminals/1/port", 70000, "/terminals/1/port", "70000 is not in 1..65535"},
        {"/terminals/0/name", "line/3", "/terminals/0/name", "topic level"},
        {"/terminals/1/name", "t1", "/terminals/1/name", "used twice"},
        {"/terminals/0/adress", "127.0.0.1", "/terminals/0/adress", "unknown field"},
        {"/terminals/0/address", "300.0.0.1", "/terminals/0/address", "IPv4"},
        {"/terminals/0/auto_report", "10", "/terminals/0/auto_report", "integer"},
        {"/prefix", "plant/#", "/prefix", "topic levels"},
        {"/broker/tls", {{"ca_file", "/nonexistent/ca.pem"}}, "/broker/tls/ca_file", "cannot read"},
        {"/broker/password", "secret", "/broker/password", "without a username"},
        {"/metrics", "localhost:9612", "/metrics", "not PORT or ADDRESS:PORT"},
    };
    for (const Case &c : cases) {
        json bad = good;
        if (c.value.is_null()) {
            bad[json::json_pointer(c.pointer).parent_pointer()].erase(json::json_pointer(c.pointer).back());
        } else {
            bad[json::json_pointer(c.pointer)] = c.value;
        }
        const auto r = parse_config(bad.dump());
        ASSERT_TRUE(r.error) << c.pointer;
        EXPECT_EQ(r.error->pointer, c.where);
        EXPECT_NE(r.error->message.find(c.says), std::string::npos) << r.error->message;
    }
    EXPECT_EQ(parse_config("{\"broker\": ").error->pointer, "");

    // The program: --check refuses with status 2 and starts nothing.
    json bad = good;
    bad["terminals"][1]["port"] = 0;
    Child check({VQ6120_GATEWAY_PATH, "--check", dir.write("bad.json", bad.dump()).string()}, false, dir.path() / "check.log");
    EXPECT_EQ(check.stop(0), 2);
    std::stringstream said;
    said << std::ifstream(dir.path() / "check.log").rdbuf();
    EXPECT_NE(said.str().find("/terminals/1/port: 0 is not in 1..65535"), std::string::npos) << said.str();

    // Every mistake in one round, one line each; --version and --help's exit statuses.
    bad["terminals"][0]["auto_report"] = -1;
    bad["broker"]["keepalive"] = 4;
    bad["terminals"][1]["name"] = "t1";  // a name used twice in an entry with another mistake
    Child all({VQ6120_GATEWAY_PATH, "--check", dir.write("bad3.json", bad.dump()).string()}, false, dir.path() / "all.log");
    EXPECT_EQ(all.stop(0), 2);
    Child version({VQ6120_GATEWAY_PATH, "--version"}, false, dir.path() / "version.log");
    EXPECT_EQ(version.stop(0), 0);
    Child help({VQ6120_GATEWAY_PATH, "--help"}, false, dir.path() / "help.log");
    EXPECT_EQ(help.stop(0), 0);
    const auto text = [&](const char *name) {
        std::stringstream s;
        s << std::ifstream(dir.path() / name).rdbuf();
        return s.str();
    };
    const std::string listed = text("all.log");
    EXPECT_EQ(std::count(listed.begin(), listed.end(), '\n'), 4) << listed;
    for (const char *at : {"/broker/keepalive: 4", "/terminals/0/auto_report: -1", "/terminals/1/port: 0",
                           "/terminals/1/name: 't1' is used twice"}) {
        EXPECT_NE(listed.find(at), std::string::npos) << listed;
    }
    EXPECT_EQ(text("version.log").rfind("vq6120-gateway 1.", 0), 0u) << text("version.log");
    EXPECT_NE(text("help.log").find("Exit status: 0"), std::string::npos) << text("help.log");
}

TEST_F(GatewayTest, EventsReachSubscribersAndCommandsReachTheTerminal) {
    Plant plant(dir, 1);
    Farm &farm = plant.farm;
    Client &client = plant.client;
    const auto gateway = plant.gateway("gw", {"t1"});
    const auto status = client.await_json("vq6120/_gateway/gw/status", "state", "online");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->json()["terminals"], 1);

    farm.command(0, "key 5");
    farm.command(0, R"(serial 2 "\xff\x00A")");
    farm.command(0, "di 1 0");
    EXPECT_TRUE(client.await_json(topic("t1", "key"), "key", 5));
    EXPECT_TRUE(client.await_json(topic("t1", "serial/2"), "data", "/wBB"));  // ff 00 41

    // Correlation data comes back as it went; so does an "id".
    client.publish(topic("t1", "cmd/draw-line"), R"({"x1":0,"y1":0,"x2":239,"y2":63})", std::string("c\0r", 3));
    const auto line = client.await_topic(topic("t1", "cmd/result"));
    ASSERT_TRUE(line);
    EXPECT_EQ(line->correlation, std::string("c\0r", 3));
    EXPECT_EQ(line->json()["ok"], true) << line->payload;
    EXPECT_EQ(command(client, "t1", "text", {{"text", "Ready"}, {"flag", 1}}, "text")["ok"], true);
    EXPECT_EQ(command(client, "t1", "di", json::object(), "di")["ok"], true);
    EXPECT_TRUE(client.await_json(topic("t1", "inputs"), "di1", 1));
    // Bytes that are not text go out as base64 and come back, echoed.
    EXPECT_EQ(command(client, "t1", "com-send", {{"port", 1}, {"data", {{"base64", "AP8="}}}}, "com")["ok"], true);
    EXPECT_TRUE(client.await_json(topic("t1", "serial/1"), "data", "AP8="));

    const std::string dump = farm.dump(0);
    EXPECT_TRUE(pixel(dump, 0, 0) && pixel(dump, 239, 63)) << dump;
    EXPECT_NE(dump.find("|Ready"), std::string::npos);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

// Each request refused by the named field, with `says` in its error.
struct Refused {
    json args;
    std::string argument, says;
};
template <std::size_t N>
void expect_refused(Client &client, const std::string &operation, const Refused (&refused)[N]) {
    int i = 0;
    for (const auto &r : refused) {
        const json result = command(client, "t1", operation, r.args, "bad" + std::to_string(i++));
        EXPECT_EQ(result["ok"], false) << r.argument;
        EXPECT_EQ(result["argument"], r.argument);
        EXPECT_NE(result["error"].get<std::string>().find(r.says), std::string::npos) << result.dump();
    }
}

// A picture in base64 is fitted to the screen and drawn; bad fields are
// refused by name with nothing sent.
TEST_F(GatewayTest, ImagesArriveFittedAndBadOnesAreRefusedByField) {
    Plant plant(dir, 1);
    const auto gateway = plant.gateway("gw", {"t1"});
    // 4 x 2, left half black, right half white: 118 x 59 from (10, 5).
    const std::string halves = "iVBORw0KGgoAAAANSUhEUgAAAAQAAAACCAAAAABawyK/AAAAEElEQVR4nGNgYPj/nwFEAAAP+gP9jN1qlAAAAABJRU5ErkJggg==";
    const json shown = command(plant.client, "t1", "image",
                               {{"png", halves}, {"x", 10}, {"y", 5}, {"dither", "threshold"}, {"clear", true}}, "pic");
    EXPECT_EQ(shown["ok"], true) << shown.dump();
    const std::string dump = plant.farm.dump(0);
    EXPECT_TRUE(pixel(dump, 10, 5) && pixel(dump, 68, 63)) << dump;
    EXPECT_FALSE(pixel(dump, 9, 5) || pixel(dump, 10, 4) || pixel(dump, 69, 5)) << dump;

    const Refused refused[] = {
        {{{"x", 1}}, "png", "missing"},
        {{{"png", "not base64!"}}, "png", "base64"},
        {{{"png", "AP8="}}, "png", "the picture"},
        {{{"png", halves}, {"x", 240}}, "x", "240 is not in 0..239"},
        {{{"png", halves}, {"dither", "fancy"}}, "dither", "floyd-steinberg"},
        {{{"png", halves}, {"clear", 1}}, "clear", "true or false"},
        {{{"png", halves}, {"fit", "stretch"}}, "fit", "screen, shrink, none"},
        {{{"png", halves}, {"scale", 2}}, "scale", "not an argument"},
    };
    expect_refused(plant.client, "image", refused);
    EXPECT_EQ(plant.farm.dump(0), dump) << "nothing sent";

    // At its own size: 4 x 2, the left half lit.
    const json own = command(plant.client, "t1", "image",
                             {{"png", halves}, {"x", 10}, {"y", 5}, {"dither", "threshold"}, {"fit", "none"}, {"clear", true}},
                             "own");
    EXPECT_EQ(own["ok"], true) << own.dump();
    EXPECT_TRUE(plant.farm.dump_soon(0, [](const std::string &d) { return !pixel(d, 68, 63); }, std::chrono::seconds(5)));
    const std::string small = plant.farm.dump(0);
    for (const auto &[x, y, lit] : {std::tuple{10, 5, true}, {11, 6, true}, {12, 5, false}, {10, 7, false}, {68, 63, false}}) {
        EXPECT_EQ(pixel(small, x, y), lit) << x << "," << y << "\n" << small;
    }
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

// Text in a system font: the terminal shows exactly what the font renders
// (the renderer's own expected bitmaps are checked in the display tests);
// bad fields are refused by name with nothing sent.
TEST_F(GatewayTest, FontTextShowsTheRenderedTextAndBadFieldsAreRefused) {
    const std::string dejavu = "/usr/share/fonts/truetype/dejavu";
    const auto font = vq6120::display::Font::load(dejavu + "/DejaVuSans-Bold.ttf", 20);
    if (font == nullptr) GTEST_SKIP() << "fonts-dejavu-core is not installed";
    vq6120::display::Canvas wanted;
    font->draw(wanted, 30, 10, "42.5");

    Plant plant(dir, 1);
    const auto gateway = plant.gateway("gw", {"t1"});
    const json shown = command(plant.client, "t1", "font-text",
                               {{"text", "42.5"}, {"x", 30}, {"y", 10}, {"size", 20}, {"font", "sans-bold"},
                                {"clear", true}}, "txt");
    EXPECT_EQ(shown["ok"], true) << shown.dump();
    // The answer says the frames were sent; the farm may read them just after a dump.
    const auto matches = [&](const std::string &d) {
        for (int y = 0; y < 64; ++y)
            for (int x = 0; x < 240; ++x)
                if (pixel(d, x, y) != wanted.get(x, y)) return false;
        return true;
    };
    plant.farm.dump_soon(0, matches, std::chrono::seconds(10));
    const std::string dump = plant.farm.dump(0);
    int lit = 0;
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 240; ++x) {
            ASSERT_EQ(pixel(dump, x, y), wanted.get(x, y)) << "at " << x << "," << y << "\n" << dump;
            lit += wanted.get(x, y) ? 1 : 0;
        }
    }
    EXPECT_GT(lit, 40);

    const Refused refused[] = {
        {{{"x", 1}}, "text", "missing"},
        {{{"text", ""}}, "text", "1..256 bytes"},
        {{{"text", std::string(257, 'a')}}, "text", "1..256 bytes"},
        {{{"text", 7}}, "text", "1..256 bytes"},
        {{{"text", "a"}, {"size", 5}}, "size", "6..64"},
        {{{"text", "a"}, {"size", 65}}, "size", "6..64"},
        {{{"text", "a"}, {"y", 64}}, "y", "0..63"},
        {{{"text", "a"}, {"font", "comic"}}, "font", "sans-bold"},
        {{{"text", "a"}, {"colour", 1}}, "colour", "not an argument"},
    };
    expect_refused(plant.client, "font-text", refused);
    EXPECT_EQ(plant.farm.dump(0), dump) << "nothing sent";
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

TEST_F(GatewayTest, BadCommandsGetErrorsNamingTheFaultAndNothingIsSent) {
    Plant plant(dir, 1);
    Farm &farm = plant.farm;
    Client &client = plant.client;
    const auto gateway = plant.gateway("gw", {"t1"}, 0, {"gone"});
    const std::string before = farm.dump(0);

    struct Case {
        std::string terminal, op, payload, says, argument;
    };
    const Case cases[] = {
        {"t1", "draw-line", "{\"id\":1, \"x1\":", "not JSON", ""},
        {"t1", "draw-line", "[1,2]", "JSON object", ""},
        {"t1", "warp", "{}", "unknown operation 'warp'", ""},
        {"t1", "draw-line", R"({"x1":0,"y1":0,"x2":239})", "y2", "y2"},
        {"t1", "draw-line", R"({"x1":0,"y1":0,"x2":240,"y2":0})", "0..239", "x2"},
        {"t1", "draw-line", R"({"x1":0,"y1":0,"x2":1,"y2":0,"colour":1})", "not an argument", "colour"},
        {"t1", "draw-pixel", R"({"x":1.5,"y":0})", "integer", "x"},
        {"t1", "text", R"({"text":""})", "1..240", "text"},
        {"gone", "draw-pixel", R"({"x":1,"y":1})", "'gone' is", ""},
    };
    int n = 0;
    for (const Case &c : cases) {
        const std::string cid = "case" + std::to_string(n++);
        client.publish(topic(c.terminal, "cmd/" + c.op), c.payload, cid);
        const auto r = client.await([&](const Received &m) { return m.correlation == cid && m.topic.ends_with("/result"); });
        ASSERT_TRUE(r) << c.payload;
        const json j = r->json();
        EXPECT_EQ(j["ok"], false) << r->payload;
        EXPECT_NE(j.value("error", "").find(c.says), std::string::npos) << r->payload;
        if (!c.argument.empty()) {
            EXPECT_EQ(j.value("argument", ""), c.argument) << r->payload;
        }
    }
    EXPECT_EQ(farm.dump(0), before);
    EXPECT_EQ(command(client, "t1", "di", json::object(), "still up")["ok"], true);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

TEST_F(GatewayTest, TerminalAndBrokerRestartsRecoverAndTheQueueDropsTheOldest) {
    BrokerOptions persistent;
    persistent.persistent = true;
    Broker broker(dir, persistent);
    Farm farm(dir, 1);
    json config = test_config(broker.port(), "gw", {{"t1", farm.port(0)}});
    config["broker"]["queue_limit"] = 2;
    auto client = std::make_unique<Client>(broker.port(), "observer", User{}, true);
    client->subscribe("vq6120/#");
    const std::uint16_t metrics = free_port();
    const auto gateway =
        std::make_unique<GatewayProcess>(dir, config, "gateway", std::vector<std::string>{"--metrics", std::to_string(metrics)});
    ASSERT_TRUE(client->await_json(topic("t1", "state"), "state", "online"));

    farm.command(0, "restart 1s");
    ASSERT_TRUE(client->await_json(topic("t1", "state"), "state", "offline"));
    client->clear();
    ASSERT_TRUE(client->await_json(topic("t1", "state"), "state", "online"));
    EXPECT_EQ(command(*client, "t1", "draw-pixel", {{"x", 3}, {"y", 4}}, "after-restart")["ok"], true);
    EXPECT_TRUE(pixel_soon(farm, 0, 3, 4));

    // Broker away: five keys meet a queue of two.
    client.reset();
    broker.stop();
    for (int key = 1; key <= 5; ++key) farm.command(0, "key " + std::to_string(key));
    // The broker comes back once the gateway has the keys and dropped the
    // oldest (events wait in the backlog, in memory here, bounded by queue_limit).
    const char *dropped = "vq6120_gateway_store_dropped_total";
    ASSERT_EQ(scrape_until(metrics, dropped, 3)[dropped], 3);
    broker.start();
    client = std::make_unique<Client>(broker.port(), "observer", User{}, true);
    const auto status = client->await_json("vq6120/_gateway/gw/status", "reason", "broker reconnected");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->json()["dropped"], 3);
    EXPECT_TRUE(client->await_json(topic("t1", "key"), "key", 5));
    std::vector<int> keys;
    for (const Received &r : client->all()) {
        if (r.topic == topic("t1", "key")) keys.push_back(r.json()["key"]);
    }
    EXPECT_EQ(keys, (std::vector<int>{4, 5}));
    EXPECT_EQ(command(*client, "t1", "draw-pixel", {{"x", 9}, {"y", 9}}, "after-broker")["ok"], true);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

TEST_F(GatewayTest, ATerminalThatStopsReadingIsRefusedWhileTheOthersGoOn) {
    Plant plant(dir, 2);
    Farm &farm = plant.farm;
    Client &client = plant.client;
    const auto gateway = plant.gateway("gw", {"stuck", "fine"});
    farm.command(0, "freeze");
    // Its socket buffers fill; then commands are refused, not left to stall
    // the loop.
    const std::string data(60000, 'x');
    json last;
    int sent = 0;
    for (; sent < 1000; ++sent) {
        last = command(client, "stuck", "com-send", {{"port", 1}, {"data", data}}, "s" + std::to_string(sent));
        if (last.value("ok", false) != true) break;
    }
    EXPECT_NE(last.value("error", "").find("bytes wait for it"), std::string::npos) << last.dump() << " after " << sent;
    farm.command(1, "key 3");
    EXPECT_TRUE(client.await_json(topic("fine", "key"), "key", 3));
    EXPECT_EQ(command(client, "fine", "draw-pixel", {{"x", 1}, {"y", 1}}, "fine")["ok"], true);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

TEST_F(GatewayTest, StopPublishesOfflineStatesAndAKilledGatewayLeavesItsWill) {
    Plant plant(dir, 1);
    Client &client = plant.client;
    auto gateway = plant.gateway("gw", {"t1"});
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
    const auto state = client.await_json(topic("t1", "state"), "state", "offline");
    ASSERT_TRUE(state);
    EXPECT_EQ(state->json()["reason"], "gateway stopped");
    EXPECT_TRUE(client.await_json("vq6120/_gateway/gw/status", "reason", "stopped"));

    client.clear();
    gateway = plant.gateway("gw", {"t1"});
    gateway->stop(SIGKILL);
    EXPECT_TRUE(client.await_json("vq6120/_gateway/gw/status", "reason", "connection lost"));
}

// A prefix belongs to one gateway (it answers every terminal name under it),
// so the second gateway has a prefix of its own.
TEST_F(GatewayTest, TwoGatewaysShareOneBrokerWithDisjointTerminals) {
    Plant plant(dir, 2);
    Farm &farm = plant.farm;
    Client &client = plant.client;
    const auto ga = plant.gateway("gw-a", {"ta"}, 0);
    json second = test_config(plant.broker.port(), "gw-b", {{"tb", farm.port(1)}});
    second["prefix"] = "vq6120/line-b";
    const auto gb = std::make_unique<GatewayProcess>(dir, second, "gw-b");
    ASSERT_TRUE(client.await_json(topic("line-b/tb", "state"), "state", "online"));
    EXPECT_EQ(command(client, "ta", "draw-pixel", {{"x", 1}, {"y", 1}}, "a")["ok"], true);
    EXPECT_EQ(command(client, "line-b/tb", "draw-pixel", {{"x", 2}, {"y", 2}}, "b")["ok"], true);
    farm.command(1, "key 7");
    EXPECT_TRUE(client.await_json(topic("line-b/tb", "key"), "key", 7));
    const std::string da = farm.dump(0), db = farm.dump(1);
    EXPECT_TRUE(pixel(da, 1, 1) && !pixel(da, 2, 2));
    EXPECT_TRUE(pixel(db, 2, 2) && !pixel(db, 1, 1));
    int results = 0;
    for (const Received &r : client.all()) results += r.topic.ends_with("/cmd/result");
    EXPECT_EQ(results, 2);  // each command answered once, by its own gateway
    EXPECT_EQ(ga->stop(SIGTERM), 0);
    EXPECT_EQ(gb->stop(SIGTERM), 0);
}

// The ACL as docs/gateway.md gives it: the fenced block after "mosquitto ACL".
std::string documented_acl() {
    std::stringstream doc;
    doc << std::ifstream(VQ6120_GATEWAY_DOC).rdbuf();
    const std::string text = doc.str();
    const auto start = text.find("```\n", text.find("# mosquitto ACL") - 4);
    const auto end = text.find("```", start + 4);
    return text.substr(start + 4, end - start - 4);
}

// Over TLS, with passwords and the documented ACL.
TEST_F(GatewayTest, OnlyClientsTheAclAllowsCanCommandATerminal) {
    const User gw{"gateway", "gw-secret"}, op{"operator1", "op-secret"}, viewer{"scada", "view-secret"};
    BrokerOptions secured;
    secured.users = {gw, op, viewer};
    secured.acl = documented_acl();
    secured.tls = true;
    Broker broker(dir, secured);
    Farm farm(dir, 1);
    json config = test_config(broker.port(), "gw", {{"t1", farm.port(0)}});
    config["broker"]["username"] = gw.name;
    config["broker"]["password"] = gw.password;
    config["broker"]["tls"] = {{"ca_file", broker.ca_file()}};
    const auto gateway = std::make_unique<GatewayProcess>(dir, config);
    Client watcher(broker.port(), "scada", viewer, false, broker.ca_file());
    watcher.subscribe("vq6120/#");
    Client operator1(broker.port(), "operator1", op, false, broker.ca_file());
    operator1.subscribe("vq6120/+/cmd/result");
    ASSERT_TRUE(watcher.await_json(topic("t1", "state"), "state", "online"));

    // The broker deals with a client's packets in order: by the SUBACK it has
    // refused the viewer's command or passed it on ahead of the operator's,
    // whose result the watcher would then see second.
    watcher.publish(topic("t1", "cmd/draw-pixel"), R"({"x":5,"y":5,"id":"viewer"})");
    watcher.subscribe("vq6120/_none");
    EXPECT_EQ(command(operator1, "t1", "draw-pixel", {{"x", 7}, {"y", 7}}, "operator")["ok"], true);
    ASSERT_TRUE(watcher.await_json(topic("t1", "cmd/result"), "id", "operator"));
    EXPECT_FALSE(watcher.await_json(topic("t1", "cmd/result"), "id", "viewer", 0ms));
    const std::string dump = farm.dump(0);
    EXPECT_TRUE(pixel(dump, 7, 7));
    EXPECT_FALSE(pixel(dump, 5, 5));
    std::stringstream log;
    log << std::ifstream(dir.path() / "gateway.log").rdbuf();
    EXPECT_EQ(log.str().find(gw.password), std::string::npos);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace vq6120::gateway::test
