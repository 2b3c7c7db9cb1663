// The primary host's STATE messages, as anyone allowed on the topic may
// publish them, through the tracker the edge node asks before its births.
//
// Input: messages separated by a 0xFF byte (which no JSON text holds); an
// empty message starts a new broker session. Checked after each: a refused
// or stale message changes nothing, a change says where it went, and the
// timestamps taken never go back.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "primary_host.hpp"

#define FUZZ_HARNESS "host state"
#include "fuzz_check.hpp"

using vq6120::gateway::parse_host_state;
using vq6120::gateway::PrimaryHost;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char *>(data), size);
    PrimaryHost host("scada");
    std::optional<std::uint64_t> last;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\xff', start), input.size());
        const std::string_view message = input.substr(start, end - start);
        start = end + 1;
        if (message.empty()) {
            host.new_session();
            CHECK(!host.online());
            continue;
        }
        const bool before = host.online();
        std::string why;
        const PrimaryHost::Change change = host.take(message, why);
        std::string again;
        const auto parsed = parse_host_state(message, again);
        CHECK(parsed.has_value() == (change != PrimaryHost::Change::refused));
        CHECK(!why.empty());
        CHECK(message.size() <= vq6120::gateway::kMaxHostStatePayload || !parsed);
        switch (change) {
        case PrimaryHost::Change::refused:
        case PrimaryHost::Change::stale:
            CHECK(host.online() == before);
            break;
        case PrimaryHost::Change::online:
            CHECK(!before && host.online() && parsed->online);
            break;
        case PrimaryHost::Change::offline:
            CHECK(before && !host.online() && !parsed->online);
            break;
        case PrimaryHost::Change::none:
            CHECK(host.online() == before);
            break;
        }
        if (change == PrimaryHost::Change::stale) CHECK(last && parsed->timestamp < *last);
        if (parsed && change != PrimaryHost::Change::stale) {
            CHECK(!last || parsed->timestamp >= *last);
            last = parsed->timestamp;
        }
    }
    return 0;
}
