// Hostile commands through the real gateway, broker and farm: bad pictures,
// malformed payloads on every operation's topic, names the gateway does not
// serve, more pictures than its queue takes. Each message gets exactly one
// result, the gateway stays up, and another terminal's events keep flowing.
#include <signal.h>

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "fixture.hpp"
#include "harness.hpp"
#include "payloads.hpp"
#include "requests.hpp"

namespace vq6120::gateway::test {
namespace {

using nlohmann::json;
using Bytes = std::string;

std::string b64(const Bytes &b) { return base64({reinterpret_cast<const std::uint8_t *>(b.data()), b.size()}); }

json picture(const Bytes &file) { return {{"png", b64(file)}}; }

struct Case {
    std::string name, terminal, op, payload;
    bool ok = false;   // what it comes to when the gateway is not busy
    std::string says;  // in the error, when refused
};

// Malformed payloads for every operation's topic.
std::vector<Case> malformed() {
    std::vector<Case> cases;
    const std::string deep(100000, '[');
    for (const std::string &op : command_names()) {
        cases.push_back({"not JSON", "t3", op, "{\"id\": ", false, "not JSON"});
        cases.push_back({"an array", "t3", op, "[1, 2]", false, "JSON object"});
        cases.push_back({"unknown argument", "t3", op, R"({"bogus": 1})", false, "bogus"});
        cases.push_back({"deep nesting", "t3", op, deep, false, "nests deeper"});
        cases.push_back({"deep nesting in an object", "t3", op, "{\"id\": " + deep, false, "nests deeper"});
        const ops::Operation *table = ops::find(op);
        if (table == nullptr || table->arguments.empty()) continue;
        const ops::Argument &arg = table->arguments.front();
        json wrong, over;
        if (arg.kind == ops::Kind::Int) {
            wrong[std::string(arg.name)] = "1";
            over[std::string(arg.name)] = arg.max + 1;
        } else {
            wrong[std::string(arg.name)] = 5;
            over[std::string(arg.name)] = std::string(static_cast<std::size_t>(arg.max) + 1, 'a');
        }
        cases.push_back({"wrong type", "t3", op, wrong.dump(), false, std::string(arg.name)});
        cases.push_back({"out of range", "t3", op, over.dump(), false, std::string(arg.name)});
    }
    cases.push_back({"image: png not a string", "t3", "image", R"({"png": 5})", false, "png"});
    cases.push_back({"image: x out of range", "t3", "image", R"({"png": "AP8=", "x": 1000})", false, "x"});
    cases.push_back({"font-text: text not a string", "t3", "font-text", R"({"text": 5})", false, "text"});
    cases.push_back({"font-text: size out of range", "t3", "font-text", R"({"text": "a", "size": 1000})", false, "size"});
    cases.push_back({"unknown operation", "t3", "warp", "{}", false, "unknown operation"});
    cases.push_back({"unknown terminal", "nobody", "draw-pixel", R"({"x": 1, "y": 1})", false, "'nobody'"});
    cases.push_back({"unknown terminal, a picture", "nobody", "image", picture(grey_png(4, 2)).dump(), false, "'nobody'"});
    return cases;
}

std::vector<Case> bad_pictures() {
    const Bytes good = grey_png(64, 32);
    Bytes ppm = "P6\n800 800\n65535\n";
    ppm.append(800 * 800 * 6, '\x7f');
    Bytes corrupt = good;
    for (std::size_t i = 50; i < corrupt.size() - 20; i += 7) corrupt[i] = static_cast<char>(corrupt[i] ^ 0x5A);
    return {
        // Decoded: its samples scaled to 8 bits (it once crashed the decoder).
        {"16-bit 800x800 binary PPM", "t1", "image", picture(ppm).dump(), true, ""},
        {"PNG header claiming 100000 x 100000", "t1", "image", picture(grey_png(100000, 100000, deflate(Bytes(4096, '\0')))).dump(),
         false, "png"},
        {"PNG header claiming 8192 x 8192", "t1", "image", picture(grey_png(8192, 8192, deflate(Bytes(4096, '\0')))).dump(), false,
         "png"},
        // 64 MiB of inflated data behind a 16 x 16 header: only what the
        // header needs is inflated.
        {"decompression bomb", "t1", "image", picture(grey_png(16, 16, deflate(Bytes(64 << 20, '\0')))).dump(), true, ""},
        {"truncated PNG", "t1", "image", picture(good.substr(0, good.size() / 2)).dump(), false, "png"},
        {"corrupt PNG", "t1", "image", picture(corrupt).dump(), false, "png"},
        {"JPEG signature", "t1", "image", picture(Bytes("\xFF\xD8\xFF\xE0\x00\x10JFIF\x00", 11) + Bytes(64, '\0')).dump(),
         false, "png"},
        {"GIF signature", "t1", "image", picture("GIF89a" + Bytes(64, '\x01')).dump(), false, "png"},
        {"BMP signature", "t1", "image", picture("BM" + Bytes(64, '\x02')).dump(), false, "png"},
        {"oversize base64", "t1", "image", picture(Bytes((4U << 20) + 3, '\0')).dump(), false, "at most"},
    };
}

using HostileTest = ScratchTest;

std::string cid(std::size_t i) { return "h" + std::to_string(i); }

std::optional<Received> result_for(Client &client, const std::string &id, std::chrono::milliseconds limit = 10s) {
    return client.await([&](const Received &m) { return m.correlation == id && m.topic.ends_with("/cmd/result"); }, limit);
}

// Every message answered once, by its own correlation data: the bad pictures
// for t1 all at once, then each malformed command for t3 in turn, the other
// terminal's keys in among them.
TEST_F(HostileTest, EveryBadMessageGetsOneRefusalWhileAnotherTerminalsEventsFlow) {
    Plant plant(dir, 3);
    Client &client = plant.client;
    json config = test_config(plant.broker.port(), "gw", {{"t1", plant.farm.port(0)}, {"t2", plant.farm.port(1)}, {"t3", plant.farm.port(2)}});
    config["picture_queue"] = 64;  // no picture here is refused for load
    const auto gateway = std::make_unique<GatewayProcess>(dir, config);
    for (const char *t : {"t1", "t2", "t3"}) ASSERT_TRUE(client.await_json(topic(t, "state"), "state", "online"));

    const std::vector<Case> pictures = bad_pictures(), commands = malformed();
    std::vector<const Case *> cases;
    int key = 0;
    const auto press = [&] { plant.farm.command(1, "key " + std::to_string(key++)); };
    for (const Case &c : pictures) {
        client.publish(topic(c.terminal, "cmd/" + c.op), c.payload, cid(cases.size()));
        cases.push_back(&c);
        press();
    }
    for (const Case &c : commands) {
        client.publish(topic(c.terminal, "cmd/" + c.op), c.payload, cid(cases.size()));
        ASSERT_TRUE(result_for(client, cid(cases.size()))) << c.name << " on " << c.op << ": no result";
        cases.push_back(&c);
        if (cases.size() % 4 == 0 && key < 256) press();
    }
    for (int k = 0; k < key; ++k) {
        EXPECT_TRUE(client.await_json(topic("t2", "key"), "key", k)) << "key " << k << " of the other terminal";
    }
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case &c = *cases[i];
        const auto r = result_for(client, cid(i));
        ASSERT_TRUE(r) << c.name << " on " << c.op << ": no result";
        EXPECT_EQ(r->topic, topic(c.terminal, "cmd/result")) << c.name;
        const json j = r->json();
        const std::string error = j.value("error", "");
        EXPECT_EQ(j["ok"], c.ok) << c.name << " on " << c.op << ": " << r->payload.substr(0, 300);
        if (!c.ok) {
            EXPECT_NE(error.find(c.says), std::string::npos) << c.name << " on " << c.op << ": " << error;
        }
    }
    // A last command for t1 runs after every picture before it; then no
    // second answer came for anything.
    EXPECT_EQ(command(client, "t1", "draw-pixel", {{"x", 1}, {"y", 1}}, "last")["ok"], true);
    std::map<std::string, int> answers;
    for (const Received &m : client.all()) {
        if (m.topic.ends_with("/cmd/result")) ++answers[m.correlation];
    }
    for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(answers[cid(i)], 1) << cases[i]->name << " on " << cases[i]->op;
    EXPECT_EQ(::kill(gateway->pid(), 0), 0) << "the gateway is still running";
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

// More pictures at once than the queue holds: the surplus is refused at once
// with "busy", each is answered once, and the queue takes pictures again after.
TEST_F(HostileTest, PicturesBeyondTheQueueAreRefusedBusy) {
    Plant plant(dir, 1);
    Client &client = plant.client;
    json config = test_config(plant.broker.port(), "gw", {{"t1", plant.farm.port(0)}});
    config["picture_queue"] = 1;
    const auto gateway = std::make_unique<GatewayProcess>(dir, config);
    ASSERT_TRUE(client.await_json(topic("t1", "state"), "state", "online"));

    const std::string heavy = picture(grey_png(1800, 1800)).dump();
    constexpr int kPictures = 12;
    for (int i = 0; i < kPictures; ++i) client.publish(topic("t1", "cmd/image"), heavy, "p" + std::to_string(i));
    int busy = 0, shown = 0;
    for (int i = 0; i < kPictures; ++i) {
        const std::string cid = "p" + std::to_string(i);
        const auto r = result_for(client, cid, 30s);
        ASSERT_TRUE(r) << cid;
        const json j = r->json();
        if (j["ok"] == true) {
            ++shown;
            continue;
        }
        const std::string error = j.value("error", "");
        EXPECT_EQ(error.rfind("busy: ", 0), 0u) << error;
        EXPECT_NE(error.find("pictures wait"), std::string::npos) << error;
        ++busy;
    }
    EXPECT_GE(shown, 1);
    EXPECT_GE(busy, 1) << "twelve pictures at once, a queue of one";
    EXPECT_EQ(command(client, "t1", "image", picture(grey_png(4, 2)), "after")["ok"], true);

    // Stopped with pictures in hand (under the asan preset too): a clean
    // exit, and no picture answered twice.
    for (int i = 0; i < 3; ++i) client.publish(topic("t1", "cmd/image"), heavy, "s" + std::to_string(i));
    ASSERT_TRUE(client.await([](const Received &m) { return m.correlation == "s2"; }));  // the broker has them all
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
    std::map<std::string, int> answers;
    for (const Received &m : client.all()) {
        if (m.topic.ends_with("/cmd/result")) ++answers[m.correlation];
    }
    for (const char *id : {"s0", "s1", "s2"}) EXPECT_LE(answers[id], 1) << id;
}

// A terminal's commands are carried out in the order they were published,
// also when a picture before them takes the worker a while; a reload that
// removes a terminal with a picture in hand answers it once.
TEST_F(HostileTest, CommandsWaitBehindTheirTerminalsPictureAndRemovalAnswersOnce) {
    Plant plant(dir, 2);
    Client &client = plant.client;
    json config = test_config(plant.broker.port(), "gw", {{"t1", plant.farm.port(0)}, {"t2", plant.farm.port(1)}});
    const auto gateway = std::make_unique<GatewayProcess>(dir, config);
    for (const char *t : {"t1", "t2"}) ASSERT_TRUE(client.await_json(topic(t, "state"), "state", "online"));

    // A white picture that clears the screen, then a pixel: drawn after the
    // clear, so it stays.
    json white = picture(grey_png(1800, 1800, {}, [](std::uint32_t, std::uint32_t) { return std::uint8_t{255}; }));
    white["clear"] = true;
    client.publish(topic("t1", "cmd/image"), white.dump(), "white");
    client.publish(topic("t1", "cmd/draw-pixel"), R"({"x": 239, "y": 63})", "pixel");
    const auto shown = result_for(client, "white"), drawn = result_for(client, "pixel");
    ASSERT_TRUE(shown && drawn);
    EXPECT_EQ(shown->json()["ok"], true) << shown->payload;
    EXPECT_EQ(drawn->json()["ok"], true) << drawn->payload;
    EXPECT_TRUE(plant.farm.dump_soon(
        0,
        [](const std::string &d) {
            std::istringstream lines(d);
            std::string line;
            for (int i = 0; i <= 63 + 2 && std::getline(lines, line);) ++i;
            return line.size() > 240 && line[240] == '#';
        },
        1s))
        << plant.farm.dump(0);

    // t2 removed while its picture and a command behind it may still wait.
    client.publish(topic("t2", "cmd/image"), white.dump(), "gone-picture");
    client.publish(topic("t2", "cmd/draw-pixel"), R"({"x": 1, "y": 1})", "gone-pixel");
    config["terminals"].erase(1);
    gateway->rewrite(config.dump());
    gateway->signal(SIGHUP);
    ASSERT_TRUE(client.await_json(topic("t2", "state"), "reason", "removed from the configuration"));
    for (const char *id : {"gone-picture", "gone-pixel"}) ASSERT_TRUE(result_for(client, id)) << id;
    EXPECT_EQ(command(client, "t1", "draw-pixel", {{"x", 2}, {"y", 2}}, "after")["ok"], true);
    int answers = 0;
    for (const Received &m : client.all()) answers += m.topic.ends_with("/cmd/result") && m.correlation.rfind("gone-", 0) == 0;
    EXPECT_EQ(answers, 2);
    EXPECT_EQ(gateway->stop(SIGTERM), 0);
}

}  // namespace
}  // namespace vq6120::gateway::test
