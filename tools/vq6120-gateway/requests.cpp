#include "requests.hpp"

#include <algorithm>
#include <cstdint>

#include "payloads.hpp"

namespace vq6120::gateway {

using nlohmann::json;

namespace {

// A JSON member as an operation's argument. Integers and strings map as they
// are; a Bytes argument also takes {"base64": "..."} so that any byte value
// can be sent. Empty when the value suits none of that; `error` says why.
std::optional<ops::Value> argument_value(const ops::Argument &arg, const json &v, std::string &error) {
    const std::string name(arg.name);
    if (arg.kind == ops::Kind::Int) {
        if (v.is_number_integer()) {
            if (v.is_number_unsigned() && v.get<std::uint64_t>() > static_cast<std::uint64_t>(INT64_MAX)) {
                error = name + ": " + v.dump() + " is not in " + ops::range_text(arg);
                return std::nullopt;
            }
            return ops::Value(v.get<std::int64_t>());
        }
        error = name + ": must be an integer in " + ops::range_text(arg) + ", not " + dump(v);
        return std::nullopt;
    }
    if (v.is_string()) return ops::Value(v.get<std::string>());
    if (arg.kind == ops::Kind::Bytes && v.is_object() && v.size() == 1 && v.contains("base64") && v["base64"].is_string()) {
        std::string bytes;
        if (unbase64(v["base64"].get<std::string>(), bytes)) return ops::Value(std::move(bytes));
        error = name + ": the base64 text does not decode";
        return std::nullopt;
    }
    error = name + (arg.kind == ops::Kind::Bytes ? ": must be a string or {\"base64\": \"...\"}" : ": must be a string");
    return std::nullopt;
}

void table_operation(const ops::Operation &op, const json &request, Request &out) {
    CommandOutcome &r = out.refusal;
    for (const auto &item : request.items()) {
        const std::string &key = item.key();
        if (key == "id") continue;  // the caller's own tag, echoed in the result
        const auto arg = std::find_if(op.arguments.begin(), op.arguments.end(),
                                      [&](const ops::Argument &a) { return a.name == key; });
        if (arg == op.arguments.end()) {
            r.argument = key;
            r.error = key + ": not an argument of " + out.operation;
            return;
        }
        auto v = argument_value(*arg, item.value(), r.error);
        if (!v) {
            r.argument = key;
            return;
        }
        out.args.emplace(key, std::move(*v));
    }
    if (const ops::Result checked = ops::check(op, out.args); !checked) {
        r.argument = checked.argument;
        r.error = checked.error;
        return;
    }
    out.op = &op;
}

}  // namespace

bool is_picture_operation(std::string_view operation) {
    return operation == kImageOperation || operation == kFontTextOperation;
}

std::vector<std::string> command_names() {
    std::vector<std::string> names;
    for (const ops::Operation &op : ops::operations()) names.emplace_back(op.name);
    names.emplace_back(kImageOperation);
    names.emplace_back(kFontTextOperation);
    return names;
}

std::size_t command_index(std::string_view operation) {
    const std::size_t table = ops::operations().size();
    if (const ops::Operation *op = ops::find(operation)) return static_cast<std::size_t>(op - ops::operations().data());
    if (operation == kImageOperation) return table;
    if (operation == kFontTextOperation) return table + 1;
    return table + 2;
}

bool depth_within(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool quoted = false, escaped = false;
    for (const char c : text) {
        if (quoted) {
            if (escaped) {
                escaped = false;
            } else if (c == '\\') {
                escaped = true;
            } else if (c == '"') {
                quoted = false;
            }
        } else if (c == '"') {
            quoted = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

Request parse_request(std::string_view operation, std::string_view payload, const std::string &font_dir) {
    if (!depth_within(payload, kMaxPayloadDepth)) {
        Request out;
        out.operation = std::string(operation);
        out.refusal.error = "the payload nests deeper than " + std::to_string(kMaxPayloadDepth) + " levels";
        return out;
    }
    const json request = payload.empty() ? json::object() : json::parse(payload, nullptr, false);
    if (request.is_discarded() || !request.is_object()) {
        Request out;
        out.operation = std::string(operation);
        out.refusal.error = request.is_discarded() ? "the payload is not JSON" : "the payload must be a JSON object of arguments";
        return out;
    }
    return parse_arguments(operation, request, font_dir);
}

Request parse_arguments(std::string_view operation, const json &arguments, const std::string &font_dir) {
    Request out;
    out.operation = std::string(operation);
    if (const auto id = arguments.find("id"); id != arguments.end()) out.id = *id;
    CommandOutcome &r = out.refusal;
    if (is_picture_operation(operation)) {
        ImageCommand image;
        const bool parsed = operation == kImageOperation ? parse_image(arguments, image, r.argument, r.error)
                                                         : parse_font_text(arguments, image, r.argument, r.error, font_dir);
        if (!parsed) return out;
        plan(image);
        out.picture = std::move(image);
        return out;
    }
    const ops::Operation *op = ops::find(operation);
    if (op == nullptr) {
        r.error = "unknown operation '" + out.operation + "'";
        return out;
    }
    table_operation(*op, arguments, out);
    return out;
}

}  // namespace vq6120::gateway
