// The simulator's live view as anyone who reaches its port can use it: any
// method, path, `?t=N`, content type and body through live_reply (what the
// HTTP server hands every request), against a real farm of three terminals
// running on its own thread.
//
// Input: a request as text, "METHOD PATH[?QUERY]\nCONTENT-TYPE\nBODY".
//
// Checked: every answer has a status the view uses and JSON (or one of the
// page's files) as its body; a request refused changes nothing; every
// command a request posts parses in the farm's command language, naming a
// terminal the farm has; and the farm carries the posted commands out (the
// fuzzer waits for it, so nothing piles up).
#include <cstdint>
#include <ostream>
#include <string>
#include <thread>

#include "farm/farm.hpp"
#include "farm/script.hpp"
#include "web/routes.hpp"

#define FUZZ_HARNESS "live view"
#include "fuzz_check.hpp"

namespace {

using namespace vq6120::sim;

struct NullBuffer : std::streambuf {
    int overflow(int c) override { return c; }
};

constexpr std::size_t kTerminals = 3;

// The farm and its loop's thread, for the whole run (never destroyed: the
// loop runs until the process ends).
struct Running {
    NullBuffer buffer;
    std::ostream null{&buffer};
    Farm farm{FarmOptions{"127.0.0.1", 0, kTerminals}, null, null};
    std::unique_ptr<LiveSource> source;
    std::thread loop;
    Running() {
        std::string error;
        if (!farm.open(error)) fail(error.c_str());
        source = live_source(farm);
        loop = std::thread([this] { farm.run(); });
    }
};

Running &running() {
    static Running *r = new Running;
    return *r;
}

// The first "t=" of a query, as the server reads it (without %-decoding).
std::optional<std::string> terminal_param(const std::string &query) {
    std::size_t at = 0;
    while (at <= query.size()) {
        const std::size_t end = std::min(query.find('&', at), query.size());
        const std::string param = query.substr(at, end - at);
        if (param.rfind("t=", 0) == 0) return param.substr(2);
        if (param == "t") return std::string();
        at = end + 1;
    }
    return std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    Running &r = running();
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::size_t line_end = std::min(text.find('\n'), text.size());
    const std::string line = text.substr(0, line_end);
    const std::string rest = line_end < text.size() ? text.substr(line_end + 1) : std::string();
    const std::size_t type_end = std::min(rest.find('\n'), rest.size());

    LiveRequest request;
    const std::size_t space = line.find(' ');
    request.method = line.substr(0, space);
    std::string target = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (const std::size_t q = target.find('?'); q != std::string::npos) {
        request.terminal = terminal_param(target.substr(q + 1));
        target.resize(q);
    }
    request.path = target;
    request.content_type = rest.substr(0, type_end);
    request.body = type_end < rest.size() ? rest.substr(type_end + 1) : std::string();

    const LiveReply reply = live_reply(*r.source, request);
    CHECK(reply.status == 200 || reply.status == 400 || reply.status == 404 || reply.status == 413 ||
          reply.status == 415);
    CHECK(!reply.body.empty() && !reply.content_type.empty());
    if (reply.content_type != "application/json") {
        CHECK(reply.status == 200 && request.method == "GET");
        return 0;
    }
    const auto answer = nlohmann::json::parse(reply.body, nullptr, false);
    CHECK(answer.is_object());
    CHECK((reply.status == 200) != answer.contains("error"));
    if (request.method == "POST" && reply.status == 200) {
        CHECK(answer.contains("posted") && answer["posted"].is_string());
        const auto t = live_terminal(request.terminal, kTerminals);
        CHECK(t.has_value());
        // What FarmSource::post hands the farm.
        const std::string posted = "on " + std::to_string(*t) + " " + answer["posted"].get<std::string>();
        FarmCommand command;
        std::string error;
        CHECK(parse_farm_command(posted, command, error));
        CHECK(command.kind == FarmCommand::Kind::Terminal && command.target == *t);
        const auto body = nlohmann::json::parse(request.body);
        if (command.command.kind == ScriptCommand::Kind::Serial) {
            const std::string &sent = body["text"].get_ref<const std::string &>();
            CHECK(std::string(command.command.data.begin(), command.command.data.end()) == sent);
            CHECK(command.command.port == body["port"].get<int>());
        } else if (command.command.kind == ScriptCommand::Kind::Key) {
            CHECK(command.command.key == body["code"].get<int>());
        } else {
            CHECK(command.command.kind == ScriptCommand::Kind::DigitalInputs);
        }
        // Waits for the loop to have carried out every posted command.
        CHECK(r.farm.command("on 0 thaw"));
    }
    return 0;
}
