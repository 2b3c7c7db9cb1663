// The edge node's session rules without processes: the primary host's STATE
// payloads and their order, bdSeq from CONNECT to CONNECT and through its file.
#include <gtest/gtest.h>

#include <fstream>

#include "bdseq.hpp"
#include "harness.hpp"
#include "sparkplug.hpp"

namespace vq6120::gateway::test {
namespace {

std::string state(bool online, std::uint64_t ts) { return nlohmann::json{{"online", online}, {"timestamp", ts}}.dump(); }

// The host's messages in order ("session": a new broker connection), each
// with what it changes and whether births may go out after it.
TEST(GatewayPrimaryHost, MalformedOrOlderStatesChangeNothing) {
    using Change = PrimaryHost::Change;
    const std::pair<std::string, std::pair<Change, bool>> steps[] = {
        {state(false, 100), {Change::none, false}},  // a retained offline: still waiting
        {state(true, 200), {Change::online, true}},
        {state(false, 150), {Change::stale, true}},  // older than the online taken
        {R"({"online": "false", "timestamp": 300})", {Change::refused, true}},
        {R"({"online": false, "timestamp": -300})", {Change::refused, true}},
        {R"({"online": false, "timestamp": 3e2})", {Change::refused, true}},
        {R"({"online": false})", {Change::refused, true}},
        {R"([false, 300])", {Change::refused, true}},
        {std::string(100000, '['), {Change::refused, true}},
        {R"({"online": false, "timestamp": 300, "pad": ")" + std::string(kMaxHostStatePayload, ' ') + "\"}",
         {Change::refused, true}},
        {state(true, 200), {Change::none, true}},  // a retained copy of the same
        {state(false, 300), {Change::offline, false}},
        {"session", {Change::none, false}},
        {state(true, 250), {Change::stale, false}},  // an online from before the offline
        {state(false, 300), {Change::none, false}},  // the retained offline again
        {state(true, 400), {Change::online, true}},
        {"session", {Change::none, false}},  // online again only once this session sees it
        {state(true, 400), {Change::online, true}},
    };
    PrimaryHost host("scada");
    for (const auto &[payload, expected] : steps) {
        SCOPED_TRACE(payload.substr(0, 60));
        std::string why;
        if (payload == "session") {
            host.new_session();
        } else {
            EXPECT_EQ(host.take(payload, why), expected.first) << why;
        }
        EXPECT_EQ(host.online(), expected.second);
    }
    EXPECT_TRUE(PrimaryHost("").online());  // none configured: never held back
}

// Each attempt's will: bdSeq (Int64) moves on for every CONNECT sent, stays
// for an attempt that reached no broker, wraps at 255; the file follows. A
// file that is not one number in 0..255 starts over at 0.
TEST(GatewayBdSeq, EveryConnectSentTakesTheNextNumberAndTheFileFollows) {
    ScratchDir dir;
    const std::string file = (dir.path() / "gw.bdseq").string();
    const std::pair<std::string, std::vector<std::pair<bool, std::uint64_t>>> cases[] = {
        {" 253\n", {{false, 254}, {true, 255}, {false, 255}, {true, 0}, {true, 1}}},
        {"256\n", {{false, 0}, {true, 1}}},
        {"12 13", {{false, 0}}},
        {std::string(1000, '1'), {{false, 0}}},
    };
    for (const auto &[content, attempts] : cases) {
        SCOPED_TRACE(content.substr(0, 20));
        std::ofstream(file) << content;
        EXPECT_EQ(read_bdseq(file).error.empty(), content == " 253\n") << read_bdseq(file).error;
        sparkplug::EdgeNode node(SparkplugConfig{"Plant", "gw"}, file);
        for (const auto &[previous_sent, bd_seq] : attempts) {
            const auto will = sparkplug::decode(node.next_session(previous_sent).payload);
            ASSERT_TRUE(will && will->metrics.size() == 1u);
            EXPECT_EQ(will->metrics[0].datatype, sparkplug::Int64);
            EXPECT_EQ(std::get<std::uint64_t>(*will->metrics[0].value), bd_seq);
            EXPECT_EQ(read_bdseq(file).last, bd_seq);
        }
    }
    std::string error;
    EXPECT_FALSE(write_bdseq((dir.path() / "no-such-dir" / "bdseq").string(), 3, error));
    EXPECT_NE(error.find("no-such-dir"), std::string::npos) << error;
}

}  // namespace
}  // namespace vq6120::gateway::test
