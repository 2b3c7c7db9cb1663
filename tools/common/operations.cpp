#include "operations.hpp"

#include <algorithm>
#include <charconv>

namespace vq6120::ops {

namespace {

using enum Kind;

constexpr Argument kX{.name = "x", .max = 239, .help = "column, left to right"};
constexpr Argument kY{.name = "y", .max = 63, .help = "row, top to bottom"};
constexpr Argument kX1{.name = "x1", .max = 239, .help = "first corner's column"};
constexpr Argument kY1{.name = "y1", .max = 63, .help = "first corner's row"};
constexpr Argument kX2{.name = "x2", .max = 239, .help = "second corner's column"};
constexpr Argument kY2{.name = "y2", .max = 63, .help = "second corner's row"};
constexpr Argument kSizeA{.name = "size-a", .max = 32, .help = "half-axis across, in pixels"};
constexpr Argument kSizeB{.name = "size-b", .max = 32, .help = "half-axis down, in pixels"};
constexpr Argument kMode{.name = "mode", .max = 1, .default_value = 0, .help = "0 outline, 1 filled"};
constexpr Argument kText{.name = "text", .kind = Text, .min = 1, .max = 240, .help = "the text, sent as given"};
constexpr Argument kFlag{.name = "flag", .max = 1, .default_value = 0, .help = "0 normal, 1 inverse"};
constexpr Argument kDirection{.name = "direction", .max = 1, .help = "0 up, 1 down"};
constexpr Argument kPort{.name = "port", .min = 1, .max = 2, .help = "serial port"};
constexpr std::int64_t kBauds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};

constexpr Argument kPixel[] = {kX, kY};
constexpr Argument kCorners[] = {kX1, kY1, kX2, kY2};
constexpr Argument kRect[] = {kX1, kY1, kX2, kY2, kMode};
constexpr Argument kCircle[] = {kX, kY, {.name = "size", .max = 32, .help = "radius, in pixels"}, kMode};
constexpr Argument kEllipse[] = {kX, kY, kSizeA, kSizeB, kMode};
constexpr Argument kRhombus[] = {kX, kY, kSizeA, kSizeB};
constexpr Argument kDrawText[] = {kX, kY, kText};
constexpr Argument kWrite[] = {kText, kFlag};
constexpr Argument kScroll[] = {kDirection};
constexpr Argument kOutputs[] = {{.name = "first", .max = 1, .help = "first output, 0 off, 1 on"},
                                 {.name = "second", .max = 1, .help = "second output, 0 off, 1 on"}};
constexpr Argument kBeep[] = {{.name = "tone", .max = 255, .unit = "x 10 ms", .help = "tone length, 0 silence"},
                              {.name = "pause", .max = 255, .unit = "x 10 ms", .help = "pause after each tone"},
                              {.name = "count", .max = 255, .help = "number of beeps, 0 counts as 1"}};
constexpr Argument kAutoReport[] = {
    {.name = "time", .max = 255, .unit = "x 100 ms", .help = "input report period, 0 stops the reports"}};
constexpr Argument kLed[] = {{.name = "value", .max = 255, .help = "0 off, any other value on"}};
constexpr Argument kBacklight[] = {{.name = "flag", .max = 1, .help = "0 off, 1 on"}};
constexpr Argument kAliveCheck[] = {{.name = "seconds",
                                     .max = 255,
                                     .unit = "seconds",
                                     .help = "time without an alive signal before the host counts as lost, 0 off"}};
constexpr Argument kComConfig[] = {
    kPort,
    {.name = "baud", .min = 1200, .max = 115200, .choices = kBauds, .help = "line speed, bits per second"},
    {.name = "option-a", .max = 3, .default_value = 0, .help = "parity: 0 none, 1 odd, 2 even, 3 space"},
    {.name = "data-bits", .min = 7, .max = 8, .default_value = 8, .help = "data bits"},
    {.name = "stop-bits", .min = 1, .max = 2, .default_value = 1, .help = "stop bits"},
    {.name = "option-b", .max = 1, .default_value = 0, .help = "flow control: 0 none, 1 RTS/CTS"},
    {.name = "option-c", .max = 255, .default_value = 0, .help = "passed to the terminal as is"}};
constexpr Argument kComSend[] = {
    kPort, {.name = "data", .kind = Bytes, .min = 1, .max = VQ6120_MAX_PAYLOAD, .help = "the bytes to send"}};

// Each entry turns checked arguments into one library call; the argument
// lists above give the order.
constexpr Operation kOperations[] = {
    {"clear-graphic", "Clear the graphic screen", {}, 0,
     [](VQ6120_HANDLE h, const Bound &) { return ClearGraphicScreen(h); }},
    {"draw-pixel", "Set one pixel", kPixel, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return DrawPixel(h, a.coord(0), a.coord(1)); }},
    {"draw-line", "Draw a line", kCorners, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return DrawLine(h, a.coord(0), a.coord(1), a.coord(2), a.coord(3)); }},
    {"draw-rect", "Draw a rectangle by two corners", kRect, 0,
     [](VQ6120_HANDLE h, const Bound &a) {
         return DrawRectangle(h, a.coord(0), a.coord(1), a.coord(2), a.coord(3), a.byte(4));
     }},
    {"draw-circle", "Draw a circle around (x, y)", kCircle, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return DrawCircle(h, a.coord(0), a.coord(1), a.coord(2), a.byte(3)); }},
    {"draw-ellipse", "Draw an ellipse around (x, y)", kEllipse, 0,
     [](VQ6120_HANDLE h, const Bound &a) {
         return DrawEllipse(h, a.coord(0), a.coord(1), a.coord(2), a.coord(3), a.byte(4));
     }},
    {"draw-rhombus", "Draw a rhombus around (x, y)", kRhombus, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return DrawRhombus(h, a.coord(0), a.coord(1), a.coord(2), a.coord(3)); }},
    {"draw-text", "Draw text with its top-left corner at a pixel", kDrawText, 0,
     [](VQ6120_HANDLE h, const Bound &a) {
         return DrawAText(h, a.coord(0), a.coord(1), a.text(2).data(), a.length(2));
     }},
    {"clear-text", "Clear the text screen", {}, 0, [](VQ6120_HANDLE h, const Bound &) { return ClearText(h); }},
    {"cursor", "Place the text cursor at the cell holding a pixel", kPixel, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SetScreenCursorPos(h, a.coord(0), a.coord(1)); }},
    {"text", "Write text at the cursor", kWrite, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return WriteText(h, a.text(0).data(), a.length(0), a.byte(1)); }},
    {"scroll", "Scroll the text screen one line", kScroll, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return ScrolloneLine(h, a.byte(0)); }},
    {"clear-keyboard", "Clear the keyboard display", {}, 0,
     [](VQ6120_HANDLE h, const Bound &) { return ClearKeyboard(h); }},
    {"keyboard-text", "Write text to the keyboard display", kWrite, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return WriteKeyboardText(h, a.text(0).data(), a.length(0), a.byte(1)); }},
    {"scroll-keyboard", "Scroll the keyboard display one line", kScroll, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return ScrollKeyboardoneLine(h, a.byte(0)); }},
    {"do", "Set the digital outputs", kOutputs, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return WriteDOStatus(h, a.byte(0), a.byte(1)); }},
    {"di", "Read the digital inputs", {}, VQ6120_RECV_DI_STATUS,
     [](VQ6120_HANDLE h, const Bound &) { return ReadDIStatus(h); }},
    {"beep", "Drive the beeper", kBeep, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SetBeeperTime(h, a.byte(0), a.byte(1), a.byte(2)); }},
    {"auto-report", "Set the automatic input report period", kAutoReport, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SetAutoReportTime(h, a.byte(0)); }},
    {"model", "Ask the terminal for its model name", {}, VQ6120_RECV_MODEL_NAME,
     [](VQ6120_HANDLE h, const Bound &) { return GetModalName(h); }},
    {"led", "Set the LED", kLed, 0, [](VQ6120_HANDLE h, const Bound &a) { return SetLED(h, a.byte(0)); }},
    {"backlight", "Switch the LCD backlight", kBacklight, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SetLCDBacklight(h, a.byte(0)); }},
    {"alive-check", "Set up the host-alive check", kAliveCheck, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SetHostAliveCheck(h, a.byte(0)); }},
    {"alive", "Send the host-alive signal", {}, 0, [](VQ6120_HANDLE h, const Bound &) { return SendHostAlive(h); }},
    {"com-config", "Set a serial port's line", kComConfig, 0,
     [](VQ6120_HANDLE h, const Bound &a) {
         return ConfigureCOM(h, a.num<std::uint32_t>(1), a.byte(2), a.byte(3), a.byte(4), a.byte(5), a.byte(6),
                             a.byte(0));
     }},
    {"com-send", "Send data out of a serial port", kComSend, 0,
     [](VQ6120_HANDLE h, const Bound &a) { return SendCOMData(h, a.bytes(1), a.length(1), a.byte(0)); }},
};

Result bad(const Argument &arg, const std::string &problem) {
    return {Result::Status::BadArgument, std::string(arg.name), std::string(arg.name) + ": " + problem};
}

// Checks every argument and fills in the defaults; on success `values` holds
// them in the order of the call.
Result bind(const Operation &op, const Arguments &args, std::vector<Value> &values) {
    for (const auto &given : args) {
        const std::string &name = given.first;
        const bool known = std::any_of(op.arguments.begin(), op.arguments.end(),
                                       [&name](const Argument &a) { return a.name == name; });
        if (!known) {
            std::string names;
            for (const Argument &a : op.arguments) names += (names.empty() ? "" : ", ") + std::string(a.name);
            return {Result::Status::BadArgument, name,
                    name + ": not an argument of " + std::string(op.name) +
                        (names.empty() ? std::string(" (it takes none)") : " (it takes " + names + ")")};
        }
    }
    values.clear();
    for (const Argument &arg : op.arguments) {
        const auto given = args.find(arg.name);
        if (given == args.end()) {
            if (!arg.default_value) return bad(arg, "missing (" + range_text(arg) + ")");
            values.emplace_back(*arg.default_value);
            continue;
        }
        if (std::string problem = check_value(arg, given->second); !problem.empty()) {
            return bad(arg, problem);
        }
        values.push_back(given->second);
    }
    return {};
}

}  // namespace

std::span<const Operation> operations() { return kOperations; }

const Operation *find(std::string_view name) {
    for (const Operation &op : kOperations) {
        if (op.name == name) return &op;
    }
    return nullptr;
}

std::string range_text(const Argument &arg) {
    std::string text;
    if (!arg.choices.empty()) {
        text = "one of";
        for (std::size_t i = 0; i < arg.choices.size(); ++i) text += (i ? ", " : " ") + std::to_string(arg.choices[i]);
    } else {
        text = std::to_string(arg.min) + ".." + std::to_string(arg.max);
    }
    if (arg.kind != Int) text += " bytes";
    if (!arg.unit.empty()) text.append(" ").append(arg.unit);  // not `" " + string`: g++ 12 -O3 -Wrestrict
    return text;
}

std::string check_value(const Argument &arg, const Value &value) {
    if (arg.kind == Int) {
        const auto *v = std::get_if<std::int64_t>(&value);
        if (v == nullptr) return "expected a whole number, " + range_text(arg);
        const bool listed =
            arg.choices.empty() || std::find(arg.choices.begin(), arg.choices.end(), *v) != arg.choices.end();
        if (*v < arg.min || *v > arg.max || !listed) {
            return std::to_string(*v) + " is not " + (arg.choices.empty() ? "in " : "") + range_text(arg);
        }
        return {};
    }
    const auto *s = std::get_if<std::string>(&value);
    if (s == nullptr) return std::string("expected ") + (arg.kind == Text ? "text" : "bytes") + ", " + range_text(arg);
    const auto length = static_cast<std::int64_t>(s->size());
    if (length < arg.min || length > arg.max) {
        return "length " + std::to_string(length) + " is not in " + range_text(arg);
    }
    return {};
}

std::string parse_word(const Argument &arg, std::string_view word, Value &out) {
    if (arg.kind != Int) {
        out = std::string(word);
        return {};
    }
    std::int64_t v = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v);
    if (word.empty() || ec != std::errc{} || end != word.data() + word.size()) {
        return std::string("'").append(word) + "' is not a whole number (" + range_text(arg) + ")";
    }
    out = v;
    return {};
}

Result check(const Operation &op, const Arguments &args) {
    std::vector<Value> values;
    return bind(op, args, values);
}

Result invoke(const Operation &op, VQ6120_HANDLE handle, const Arguments &args) {
    std::vector<Value> values;
    if (Result r = bind(op, args, values); !r) return r;
    if (op.call(handle, Bound(std::move(values))) != 1) {
        return {Result::Status::NotSent, {}, std::string(op.name) + ": not sent (no connection to the terminal)"};
    }
    return {};
}

}  // namespace vq6120::ops
