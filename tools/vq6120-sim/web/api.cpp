#include "web/api.hpp"

#include <algorithm>
#include <cstdio>

namespace vq6120::sim {
namespace {

using nlohmann::json;

// Cells as UTF-8 text, a hollow box for bytes outside printable ASCII (as the
// picture draws them), and the inverse cells as a string of '0' and '1'.
json area_json(const TextArea &area) {
    json lines = json::array(), inverse = json::array();
    for (int r = 0; r < area.rows(); ++r) {
        std::string line, marks;
        for (int c = 0; c < area.columns(); ++c) {
            const auto &cell = area.at(c, r);
            if (cell.code >= 0x20 && cell.code <= 0x7E) {
                line += static_cast<char>(cell.code);
            } else {
                line += "\xE2\x96\xA1";
            }
            marks += cell.inverse ? '1' : '0';
        }
        lines.push_back(line);
        inverse.push_back(marks);
    }
    return {{"columns", area.columns()}, {"rows", area.rows()}, {"lines", lines}, {"inverse", inverse}};
}

// One hex string per pixel row, four pixels a digit, the leftmost in the
// digit's high bit.
json screen_json(const GraphicScreen &screen) {
    static constexpr char kDigits[] = "0123456789abcdef";
    json rows = json::array();
    for (int y = 0; y < kScreenHeight; ++y) {
        std::string row;
        for (int x = 0; x < kScreenWidth; x += 4) {
            int nibble = 0;
            for (int i = 0; i < 4; ++i) {
                nibble = nibble << 1 | (screen.pixel(x + i, y) ? 1 : 0);
            }
            row += kDigits[nibble];
        }
        rows.push_back(row);
    }
    return {{"width", kScreenWidth}, {"height", kScreenHeight}, {"rows", rows}};
}

OperatorRequest refuse(int status, std::string why) {
    return {{}, status, std::move(why)};
}

// A field that must be a whole number within [low, high].
std::optional<int> whole(const json &body, const char *name, int low, int high) {
    const auto it = body.find(name);
    if (it == body.end() || !it->is_number_integer()) {
        return std::nullopt;
    }
    const auto v = it->get<long long>();
    if (v < low || v > high) {
        return std::nullopt;
    }
    return static_cast<int>(v);
}

// A digital input given as true/false or 0/1.
std::optional<int> input_level(const json &body, const char *name) {
    const auto it = body.find(name);
    if (it != body.end() && it->is_boolean()) {
        return it->get<bool>() ? 1 : 0;
    }
    return whole(body, name, 0, 1);
}

// The operator language's quoted string: printable bytes as they are, the
// rest escaped, so any byte survives the trip through the command line.
std::string quoted(const std::string &bytes) {
    std::string s = "\"";
    for (const unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            s += '\\';
            s += static_cast<char>(c);
        } else if (c >= 0x20 && c <= 0x7E) {
            s += static_cast<char>(c);
        } else {
            char buf[5];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            s += buf;
        }
    }
    return s + "\"";
}

}  // namespace

json state_json(const Terminal &t, bool host_connected) {
    json serial = json::array();
    for (std::size_t i = 0; i < t.serial.size(); ++i) {
        const auto &p = t.serial[i];
        serial.push_back({{"port", i + 1},
                          {"configured", p.configured},
                          {"settings", p.configured ? p.describe() : "not configured"},
                          {"baud", p.configured ? p.baud_rate() : 0},
                          {"tx", p.bytes_from_host},
                          {"rx", p.bytes_to_host}});
    }
    json text = area_json(t.text);
    text["cursor"] = {t.text.cursor_column(), t.text.cursor_row()};
    return {{"connected", host_connected},
            {"screen", screen_json(t.graphic)},
            {"text", text},
            {"keyboard", area_json(t.keyboard)},
            {"outputs", {t.digital_out[0], t.digital_out[1]}},
            {"inputs", {t.digital_in[0], t.digital_in[1]}},
            {"led", t.led},
            {"backlight", t.backlight},
            {"beeper",
             {{"tone_ms", t.beeper[0] * 10}, {"pause_ms", t.beeper[1] * 10}, {"count", t.beeper[2]}, {"beeps", t.beeps}}},
            {"auto_report_ms", t.report_time * 100},
            {"host_alive", {{"seconds", t.alive_seconds}, {"lost", t.host_lost}, {"signals", t.alive_signals}}},
            {"serial", serial},
            {"frames_handled", t.frames_handled},
            {"frames_ignored", t.frames_ignored}};
}

json entries_json(const std::vector<FeedEntry> &entries) {
    json out = json::array();
    for (const auto &e : entries) {
        json j = {{"seq", e.seq}, {"time", e.time_ms}, {"dir", e.from_host ? "in" : "out"}};
        if (e.port != 0) {
            j["port"] = e.port;
            // Bytes, not text: a serial line carries anything. Latin-1 keeps
            // every byte one character the page can show.
            std::string latin1;
            for (const unsigned char c : e.text) {
                if (c < 0x80) {
                    latin1 += static_cast<char>(c);
                } else {
                    latin1 += static_cast<char>(0xC0 | (c >> 6));
                    latin1 += static_cast<char>(0x80 | (c & 0x3F));
                }
            }
            j["data"] = latin1;
        } else {
            j["text"] = e.text;
        }
        out.push_back(std::move(j));
    }
    return out;
}

OperatorRequest parse_request(RequestKind kind, const std::string &text) {
    const json body = json::parse(text, nullptr, false);
    if (body.is_discarded() || !body.is_object()) {
        return refuse(400, "the body is not a JSON object");
    }
    const auto allowed = [&](std::initializer_list<const char *> names) {
        for (auto it = body.begin(); it != body.end(); ++it) {
            const std::string &key = it.key();
            if (std::find_if(names.begin(), names.end(), [&](const char *n) { return key == n; }) == names.end()) {
                return false;
            }
        }
        return true;
    };
    switch (kind) {
    case RequestKind::Key: {
        const auto code = whole(body, "code", 0, 255);
        if (!code || !allowed({"code"})) {
            return refuse(400, "expected {\"code\": key number 0..255}");
        }
        return {"key " + std::to_string(*code), 200, {}};
    }
    case RequestKind::Inputs: {
        const auto a = input_level(body, "di1");
        const auto b = input_level(body, "di2");
        if (!a || !b || !allowed({"di1", "di2"})) {
            return refuse(400, "expected {\"di1\": 0 or 1, \"di2\": 0 or 1}");
        }
        return {"di " + std::to_string(*a) + " " + std::to_string(*b), 200, {}};
    }
    case RequestKind::Serial: {
        const auto port = whole(body, "port", 1, 2);
        const auto data = body.find("text");
        if (!port || data == body.end() || !data->is_string() || !allowed({"port", "text"})) {
            return refuse(400, "expected {\"port\": 1 or 2, \"text\": string}");
        }
        const auto &bytes = data->get_ref<const std::string &>();
        if (bytes.empty()) {
            return refuse(400, "the text is empty");
        }
        if (bytes.size() > kMaxSerialLine) {
            return refuse(413, "the text is longer than " + std::to_string(kMaxSerialLine) + " bytes");
        }
        return {"serial " + std::to_string(*port) + " " + quoted(bytes), 200, {}};
    }
    }
    return refuse(400, "unknown request");
}

}  // namespace vq6120::sim
