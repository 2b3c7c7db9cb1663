// The operator command language.
#include <gtest/gtest.h>

#include "farm/script.hpp"
#include "session/script.hpp"

namespace vq6120::sim {
namespace {

using Kind = ScriptCommand::Kind;
using namespace std::chrono_literals;

TEST(Script, KeyCodes) {
    ScriptCommand c;
    std::string e;
    ASSERT_TRUE(parse_command("key 5", c, e));
    EXPECT_EQ(c.kind, Kind::Key);
    EXPECT_EQ(c.key, 5);
    ASSERT_TRUE(parse_command("  key 0x41  ", c, e));
    EXPECT_EQ(c.key, 0x41);
    ASSERT_TRUE(parse_command("key 255", c, e));
    EXPECT_EQ(c.key, 255);
}

TEST(Script, DigitalInputs) {
    ScriptCommand c;
    std::string e;
    ASSERT_TRUE(parse_command("di 1 0", c, e));
    EXPECT_EQ(c.kind, Kind::DigitalInputs);
    EXPECT_TRUE(c.input1);
    EXPECT_FALSE(c.input2);
}

struct TextCase {
    const char *line;
    int port;
    std::vector<std::uint8_t> data;
};
class SerialText : public testing::TestWithParam<TextCase> {};
TEST_P(SerialText, QuotedTextWithEscapes) {
    ScriptCommand c;
    std::string e;
    ASSERT_TRUE(parse_command(GetParam().line, c, e)) << e;
    EXPECT_EQ(c.kind, Kind::Serial);
    EXPECT_EQ(c.port, GetParam().port);
    EXPECT_EQ(c.data, GetParam().data);
}
INSTANTIATE_TEST_SUITE_P(Lines, SerialText,
                         testing::Values(TextCase{R"(serial 2 "text")", 2, {'t', 'e', 'x', 't'}},
                                         TextCase{R"(serial 1 "a b\n")", 1, {'a', ' ', 'b', '\n'}},
                                         TextCase{R"(serial 1 "\x00\xFF\"\\")", 1, {0x00, 0xFF, '"', '\\'}},
                                         TextCase{R"(serial 2 bare)", 2, {'b', 'a', 'r', 'e'}}));

struct WaitCase {
    const char *line;
    Kind kind;
    std::chrono::milliseconds duration;
};
class Waits : public testing::TestWithParam<WaitCase> {};
TEST_P(Waits, Forms) {
    ScriptCommand c;
    std::string e;
    ASSERT_TRUE(parse_command(GetParam().line, c, e)) << e;
    EXPECT_EQ(c.kind, GetParam().kind);
    EXPECT_EQ(c.duration, GetParam().duration);
}
INSTANTIATE_TEST_SUITE_P(Lines, Waits,
                         testing::Values(WaitCase{"wait 200ms", Kind::Wait, 200ms}, WaitCase{"wait 2s", Kind::Wait, 2s},
                                         WaitCase{"wait 50", Kind::Wait, 50ms},
                                         WaitCase{"wait connect", Kind::WaitConnect, 0ms},
                                         WaitCase{"wait disconnect", Kind::WaitDisconnect, 0ms}));

TEST(Script, SnapshotDumpQuitAndSkippedLines) {
    ScriptCommand c;
    std::string e;
    ASSERT_TRUE(parse_command("snapshot build/out dir/x.png", c, e));
    EXPECT_EQ(c.kind, Kind::Snapshot);
    EXPECT_EQ(c.path, "build/out dir/x.png");
    ASSERT_TRUE(parse_command("dump", c, e));
    EXPECT_EQ(c.kind, Kind::Dump);
    ASSERT_TRUE(parse_command("quit", c, e));
    EXPECT_EQ(c.kind, Kind::Quit);
    ASSERT_TRUE(parse_command("   ", c, e));
    EXPECT_EQ(c.kind, Kind::Nothing);
    ASSERT_TRUE(parse_command("# key 5", c, e));
    EXPECT_EQ(c.kind, Kind::Nothing);
}

class BadLines : public testing::TestWithParam<const char *> {};
TEST_P(BadLines, AreRefusedWithAReason) {
    ScriptCommand c;
    std::string e;
    EXPECT_FALSE(parse_command(GetParam(), c, e));
    EXPECT_FALSE(e.empty());
}
INSTANTIATE_TEST_SUITE_P(Lines, BadLines,
                         testing::Values("key", "key 256", "key -1", "key 5 6", "key five", "di 1", "di 2 0",
                                         "serial 3 \"x\"", "serial 0 x", "serial 1", "serial 1 \"open",
                                         "serial 1 \"a\" b", "serial 1 \"\\q\"", "serial 1 \"\\x4\"", "wait",
                                         "wait soon", "wait 5m", "snapshot", "dump now", "jump 3"));

TEST(FarmScript, TargetsFaultsAndTraffic) {
    using F = FarmCommand::Kind;
    constexpr std::size_t kAll = ~std::size_t{0};
    struct Case {
        const char *line;
        bool ok;
        F kind;
        std::size_t target;  // kAll: every terminal
        double rate;
        int traffic_port;
    };
    const Case cases[] = {
        {"freeze", true, F::Freeze, kAll, 0, 1},
        {"on 12 thaw", true, F::Thaw, 12, 0, 1},
        {"on all drop", true, F::Drop, kAll, 0, 1},
        {"farm status", true, F::Status, kAll, 0, 1},
        {"traffic 10", true, F::Traffic, kAll, 10, 1},
        {"on 3 traffic 0.5 serial 2", true, F::Traffic, 3, 0.5, 2},
        {"traffic 100 keys", true, F::Traffic, kAll, 100, 0},
        {"on 0 key 7", true, F::Terminal, 0, 0, 1},
        {"restart 2s", true, F::Restart, kAll, 0, 1},
        {"on", false, F::Terminal, kAll, 0, 1},
        {"on 3", false, F::Terminal, kAll, 0, 1},
        {"on x freeze", false, F::Terminal, kAll, 0, 1},
        {"traffic", false, F::Terminal, kAll, 0, 1},
        {"traffic -1", false, F::Terminal, kAll, 0, 1},
        {"traffic nan", false, F::Terminal, kAll, 0, 1},
        {"traffic 10 serial 3", false, F::Terminal, kAll, 0, 1},
        {"freeze now", false, F::Terminal, kAll, 0, 1},
        {"restart soon", false, F::Terminal, kAll, 0, 1},
        {"on 1 bogus", false, F::Terminal, kAll, 0, 1},
    };
    for (const auto &c : cases) {
        FarmCommand out;
        std::string error;
        ASSERT_EQ(parse_farm_command(c.line, out, error), c.ok) << c.line << ": " << error;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << c.line;
            continue;
        }
        EXPECT_EQ(out.kind, c.kind) << c.line;
        EXPECT_EQ(out.target.value_or(kAll), c.target) << c.line;
        EXPECT_EQ(out.rate, c.rate) << c.line;
        EXPECT_EQ(out.traffic_port, c.traffic_port) << c.line;
    }
    FarmCommand out;
    std::string error;
    ASSERT_TRUE(parse_farm_command("restart 2s", out, error));
    EXPECT_EQ(out.duration, 2s);
}

}  // namespace
}  // namespace vq6120::sim
