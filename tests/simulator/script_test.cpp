// The operator command language.
#include <gtest/gtest.h>

#include "script.hpp"

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

}  // namespace
}  // namespace vq6120::sim
