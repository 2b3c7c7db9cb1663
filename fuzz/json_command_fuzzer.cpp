// The gateway's JSON command parser (requests.cpp) for every operation: the
// step that turns a cmd/<operation> payload into what would be sent,
// pictures and fonts included, with nothing sent.
//
// Input: byte 0 picks the operation (the table's, then image, font-text),
// the rest is the payload as it would come from the broker. The result is
// written out as the gateway writes it, with the caller's "id" echoed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "payloads.hpp"
#include "requests.hpp"

#define FUZZ_HARNESS "json command"
#include "fuzz_check.hpp"

using namespace vq6120::gateway;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    if (size < 1) return 0;
    static const std::vector<std::string> names = command_names();
    const std::string &operation = names[data[0] % names.size()];
    const std::string_view payload(reinterpret_cast<const char *>(data + 1), size - 1);

    const Request r = parse_request(operation, payload);
    CHECK(r.operation == operation);
    if (r.refused()) {
        CHECK(r.op == nullptr && !r.picture);
    } else if (is_picture_operation(operation)) {
        CHECK(r.picture && r.op == nullptr);
        for (const vq6120::screen::Command &c : r.picture->commands) {
            CHECK(c.x1 >= 0 && c.x1 < 240 && c.x2 >= 0 && c.x2 < 240 && c.y1 >= 0 && c.y1 < 64 && c.y2 >= 0 && c.y2 < 64);
        }
    } else {
        CHECK(r.op != nullptr && !r.picture);
        CHECK(static_cast<bool>(vq6120::ops::check(*r.op, r.args)));
    }
    nlohmann::json result{{"operation", r.operation}, {"ok", !r.refused()}};
    if (r.refused()) result["error"] = r.refusal.error;
    if (!r.id.is_null()) result["id"] = r.id;
    CHECK(!dump(result).empty());
    return 0;
}
