// A command message as what it will send: the JSON payload of
// <prefix>/<terminal>/cmd/<operation> parsed and checked, with nothing sent
// and no terminal needed. The gateway parses on the loop for the table's
// operations and on the picture worker for cmd/image and cmd/font-text; the
// JSON command fuzzer runs the same function.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "image_command.hpp"
#include "operations.hpp"

namespace vq6120::gateway {

// What a command message came to: the result the gateway publishes for it.
struct CommandOutcome {
    bool ok = false;
    std::string error;     // a sentence naming what is wrong
    std::string argument;  // the argument at fault, when one is
};

// Deepest nesting of arrays and objects taken in a command's payload. The
// JSON writer and copies recurse once per level, so a payload of 100,000 '['
// is refused before it is parsed.
inline constexpr std::size_t kMaxPayloadDepth = 32;

struct Request {
    std::string operation;
    nlohmann::json id;        // the caller's "id", echoed in the result; null when none
    CommandOutcome refusal;   // error set: refused, nothing to send
    const ops::Operation *op = nullptr;  // a table operation with its checked arguments
    ops::Arguments args;
    std::optional<ImageCommand> picture;  // image and font-text: the commands to send
    bool refused() const { return !refusal.error.empty(); }
};

// Whether `operation` is drawn into a picture (cmd/image, cmd/font-text).
bool is_picture_operation(std::string_view operation);

// Every operation name a command may carry: the table's, then image and
// font-text. The index of a name here labels the commands metric.
std::vector<std::string> command_names();
std::size_t command_index(std::string_view operation);  // command_names().size() when unknown

// Whether the JSON text nests arrays and objects no deeper than `limit`
// (brackets inside strings do not count). Text that is not JSON may pass.
bool depth_within(std::string_view text, std::size_t limit);

// The payload text (empty: no arguments) for `operation`.
Request parse_request(std::string_view operation, std::string_view payload,
                      const std::string &font_dir = kFontDir);
// The same from an already parsed object of arguments.
Request parse_arguments(std::string_view operation, const nlohmann::json &arguments,
                      const std::string &font_dir = kFontDir);

}  // namespace vq6120::gateway
