// The terminal's operations as one table, shared by the command-line tool and
// the MQTT gateway so that both name operations and arguments alike and accept
// the same ranges: neither can drift from the other.
//
//   for (const Operation &op : operations()) ...     // name, help, arguments
//   const Operation *op = find("draw-line");          // nullptr when unknown
//   Arguments args{{"x1", 0}, {"y1", 0}, {"x2", 239}, {"y2", 63}};
//   Result r = invoke(*op, handle, args);             // check, defaults, send
//   if (!r) print(r.error);                           // "x2: 240 is not in 0..239"
//
// Arguments are given by name, spelled as the command line spells them but
// without the dashes ("x1", "mode", "data-bits"). Arguments with a default may
// be left out. Int arguments take std::int64_t; Text and Bytes take
// std::string (any bytes), checked by length. `check` runs the same checks
// without a handle; `parse_word` turns a command-line word into a Value.
// Result::error always starts with the argument's name ("x2: ...").
// `Operation::answer` is the GetDataFromEthernet result that answers a
// request (di, model), 0 for a plain command.
//
// The library has no state and no JSON; whoever maps another format onto it
// does so in its own code.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "VQ6120_LIB.h"

namespace vq6120::ops {

enum class Kind { Int, Text, Bytes };

struct Argument {
    std::string_view name;
    Kind kind = Kind::Int;
    // Int: the value range. Text and Bytes: the length range in bytes.
    std::int64_t min = 0;
    std::int64_t max = 0;
    // When not empty, only these values (all inside min..max) are valid.
    std::span<const std::int64_t> choices = {};
    // Arguments with a default are optional.
    std::optional<std::int64_t> default_value = std::nullopt;
    // What one step of the value means, e.g. "x 100 ms"; empty when plain.
    std::string_view unit = {};
    std::string_view help = {};
};

struct Value : std::variant<std::int64_t, std::string> {
    using variant::variant;
    Value(int v) : variant(std::int64_t{v}) {}
    Value(const char *s) : variant(std::string(s)) {}
};
using Arguments = std::map<std::string, Value, std::less<>>;

struct Result {
    enum class Status {
        Sent,         // the command's frame was handed to the socket
        BadArgument,  // nothing sent: `argument` is missing, unknown or out of range
        NotSent,      // the library refused it (no connection)
    };
    Status status = Status::Sent;
    std::string argument;  // the bad argument's name
    std::string error;     // a sentence naming the argument and its range
    explicit operator bool() const { return status == Status::Sent; }
};

// The arguments in the order of the call, every one of them present:
// invoke() binds only checked values, so the narrowing casts lose nothing.
// (Tests bind values the table refuses, to see the library refuse them too.)
class Bound {
public:
    explicit Bound(std::vector<Value> values) : values_(std::move(values)) {}
    template <typename T>
    T num(std::size_t i) const {
        return static_cast<T>(std::get<std::int64_t>(values_[i]));
    }
    std::uint8_t byte(std::size_t i) const { return num<std::uint8_t>(i); }
    std::int16_t coord(std::size_t i) const { return num<std::int16_t>(i); }
    const std::string &text(std::size_t i) const { return std::get<std::string>(values_[i]); }
    std::int32_t length(std::size_t i) const { return static_cast<std::int32_t>(text(i).size()); }
    const std::uint8_t *bytes(std::size_t i) const { return reinterpret_cast<const std::uint8_t *>(text(i).data()); }

private:
    std::vector<Value> values_;
};

struct Operation {
    std::string_view name;
    std::string_view help;
    std::span<const Argument> arguments;
    int answer = 0;
    std::int32_t (*call)(VQ6120_HANDLE, const Bound &) = nullptr;
};

std::span<const Operation> operations();
const Operation *find(std::string_view name);

// "0..239", "1..240 bytes", "one of 1200, 2400, ...", "0..255 x 100 ms".
std::string range_text(const Argument &arg);
// What is wrong with `value` for `arg` ("240 is not in 0..239"), without the
// argument's name; an empty string when it suits.
std::string check_value(const Argument &arg, const Value &value);
// Turns a command-line word into the argument's value: a decimal integer for
// Int, the word itself otherwise. Returns the problem as check_value does.
std::string parse_word(const Argument &arg, std::string_view word, Value &out);

Result check(const Operation &op, const Arguments &args);
Result invoke(const Operation &op, VQ6120_HANDLE handle, const Arguments &args);

}  // namespace vq6120::ops
