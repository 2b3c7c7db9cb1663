// The operation table against the library: every range the table accepts is
// one the library sends, every value just outside it is refused by name
// before anything reaches the wire.
#include <gtest/gtest.h>

#include "operations.hpp"
#include "test_peer.hpp"

namespace vq6120::ops {
namespace {

// The argument's value at one end of its range (or one step outside it).
Value at(const Argument &arg, std::int64_t n) {
    if (arg.kind == Kind::Int) return n;
    return std::string(static_cast<std::size_t>(n), 'a');
}

Arguments all_at(const Operation &op, bool high) {
    Arguments args;
    for (const Argument &a : op.arguments) {
        const std::int64_t n =
            a.choices.empty() ? (high ? a.max : a.min) : (high ? a.choices.back() : a.choices.front());
        args.emplace(std::string(a.name), at(a, n));
    }
    return args;
}

TEST(Operations, EveryRangeEndIsSent) {
    test::TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    for (const Operation &op : operations()) {
        for (const bool high : {false, true}) {
            const Result r = invoke(op, h, all_at(op, high));
            EXPECT_TRUE(r) << op.name << (high ? " high: " : " low: ") << r.error;
        }
    }
    ExitVQ6120(h);
}

TEST(Operations, JustOutsideARangeIsRefusedByName) {
    test::TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    for (const Operation &op : operations()) {
        for (const Argument &arg : op.arguments) {
            std::vector<std::int64_t> outside{arg.min - 1, arg.max + 1};
            if (!arg.choices.empty()) outside.push_back(arg.choices.front() + 1);
            for (const std::int64_t n : outside) {
                if (n < 0) continue;  // text lengths start at 0
                Arguments args = all_at(op, false);
                args.insert_or_assign(std::string(arg.name), at(arg, n));
                const Result r = invoke(op, h, args);
                EXPECT_EQ(r.status, Result::Status::BadArgument) << op.name << " " << arg.name << " " << n;
                EXPECT_EQ(r.argument, arg.name);
                EXPECT_NE(r.error.find(range_text(arg)), std::string::npos) << r.error;
            }
        }
    }
    EXPECT_TRUE(peer.take_all().empty());
    ExitVQ6120(h);
}

// The table is no narrower than the library: just outside each of its
// ranges the C function itself refuses (where its parameter can hold the
// value; 0..255 is a byte's whole range), so the table turns away nothing the
// library would send.
TEST(Operations, JustOutsideARangeTheLibraryRefusesToo) {
    test::TestPeer peer;
    VQ6120_HANDLE h = peer.connect();
    for (const Operation &op : operations()) {
        const Arguments low = all_at(op, false);
        for (std::size_t i = 0; i < op.arguments.size(); ++i) {
            const Argument &arg = op.arguments[i];
            std::vector<std::int64_t> outside{arg.min - 1};
            if (arg.kind != Kind::Int || arg.max != 255) outside.push_back(arg.max + 1);
            for (const std::int64_t n : outside) {
                if (n < 0) continue;
                std::vector<Value> values;
                for (const Argument &a : op.arguments) values.push_back(low.find(a.name)->second);
                values[i] = at(arg, n);
                EXPECT_EQ(op.call(h, Bound(std::move(values))), 0) << op.name << " " << arg.name << " " << n;
                EXPECT_EQ(VQ6120Ex_LastRefusal(h), VQ6120_REFUSED_ARGUMENT) << op.name << " " << arg.name;
            }
        }
    }
    EXPECT_TRUE(peer.take_all().empty());
    ExitVQ6120(h);
}

TEST(Operations, MalformedCallsNameTheArgument) {
    const struct {
        const char *op;
        Arguments args;
        const char *argument, *says;
    } cases[] = {
        {"draw-pixel", {{"x", 1}}, "y", "y: missing (0..63)"},
        {"draw-pixel", {{"x", 1}, {"y", 1}, {"z", 1}}, "z", "(it takes x, y)"},
        {"led", {{"value", "3"}}, "value", "expected a whole number"},
        {"text", {{"text", 5}}, "text", "expected text"},
        {"com-config", {{"port", 1}, {"baud", 9601}}, "baud", "9601 is not one of 1200,"},
        {"auto-report", {{"time", 256}}, "time", "256 is not in 0..255 x 100 ms"},
    };
    for (const auto &c : cases) {
        const Result r = check(*find(c.op), c.args);
        EXPECT_EQ(r.argument, c.argument) << c.op;
        EXPECT_NE(r.error.find(c.says), std::string::npos) << r.error;
    }
    Value v;
    EXPECT_NE(parse_word(find("led")->arguments[0], "3x", v), "");
    EXPECT_EQ(invoke(*find("alive"), nullptr, {}).status, Result::Status::NotSent);
}

}  // namespace
}  // namespace vq6120::ops
