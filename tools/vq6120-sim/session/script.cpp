#include "session/script.hpp"

#include <cctype>
#include <charconv>

#include "model/snapshot.hpp"

namespace vq6120::sim {

std::string_view trim(std::string_view s) {
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) {
        s.remove_prefix(1);
    }
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) {
        s.remove_suffix(1);
    }
    return s;
}

// Splits off the first blank-separated word.
std::string_view next_word(std::string_view &s) {
    s = trim(s);
    std::size_t end = 0;
    while (end < s.size() && !std::isspace(static_cast<unsigned char>(s[end]))) {
        ++end;
    }
    const auto word = s.substr(0, end);
    s = trim(s.substr(end));
    return word;
}

bool parse_number(std::string_view s, long max, long &out) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    long v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (ec != std::errc{} || end != s.data() + s.size() || s.empty() || v < 0 || v > max) {
        return false;
    }
    out = v;
    return true;
}

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A double-quoted string with escapes, or a bare word taken as it is.
bool parse_text(std::string_view s, std::vector<std::uint8_t> &out, std::string &error) {
    if (s.empty()) {
        error = "missing text";
        return false;
    }
    if (s.front() != '"') {
        out.assign(s.begin(), s.end());
        return true;
    }
    for (std::size_t i = 1; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '"') {
            if (i + 1 != s.size()) {
                error = "text after the closing quote";
                return false;
            }
            return true;
        }
        if (c != '\\') {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (++i == s.size()) {
            break;
        }
        switch (s[i]) {
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        case 'x': {
            const int hi = i + 1 < s.size() ? hex_digit(s[i + 1]) : -1;
            const int lo = i + 2 < s.size() ? hex_digit(s[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                error = "\\x needs two hex digits";
                return false;
            }
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            i += 2;
            break;
        }
        default:
            error = std::string("unknown escape \\") + s[i];
            return false;
        }
    }
    error = "missing closing quote";
    return false;
}

}  // namespace

bool parse_duration(std::string_view s, std::chrono::milliseconds &out) {
    long factor = 1;
    if (s.ends_with("ms")) {
        s.remove_suffix(2);
    } else if (s.ends_with("s")) {
        s.remove_suffix(1);
        factor = 1000;
    }
    long v = 0;
    if (!parse_number(s, 3'600'000, v)) {
        return false;
    }
    out = std::chrono::milliseconds(v * factor);
    return true;
}

bool parse_command(std::string_view line, ScriptCommand &out, std::string &error) {
    using Kind = ScriptCommand::Kind;
    out = ScriptCommand{};
    std::string_view rest = trim(line);
    if (rest.empty() || rest.front() == '#') {
        return true;
    }
    const auto word = next_word(rest);
    long a = 0, b = 0;
    if (word == "key") {
        if (!parse_number(next_word(rest), 255, a) || !rest.empty()) {
            error = "key takes one code 0..255";
            return false;
        }
        out.kind = Kind::Key;
        out.key = static_cast<std::uint8_t>(a);
    } else if (word == "di") {
        if (!parse_number(next_word(rest), 1, a) || !parse_number(next_word(rest), 1, b) || !rest.empty()) {
            error = "di takes two values 0 or 1";
            return false;
        }
        out.kind = Kind::DigitalInputs;
        out.input1 = a == 1;
        out.input2 = b == 1;
    } else if (word == "serial") {
        if (!parse_number(next_word(rest), 2, a) || a < 1) {
            error = "serial takes a port 1 or 2, then the text";
            return false;
        }
        if (!parse_text(rest, out.data, error)) {
            return false;
        }
        out.kind = Kind::Serial;
        out.port = static_cast<int>(a);
    } else if (word == "wait") {
        const auto what = next_word(rest);
        if (!rest.empty()) {
            error = "wait takes one argument";
            return false;
        }
        if (what == "connect") {
            out.kind = Kind::WaitConnect;
        } else if (what == "disconnect") {
            out.kind = Kind::WaitDisconnect;
        } else if (parse_duration(what, out.duration)) {
            out.kind = Kind::Wait;
        } else {
            error = "wait takes a time such as 200ms or 2s, or connect, or disconnect";
            return false;
        }
    } else if (word == "snapshot") {
        if (rest.empty()) {
            error = "snapshot takes a file name";
            return false;
        }
        if (snapshot_kind(rest) == SnapshotKind::Unknown) {
            error = std::string("snapshot: ") + kSnapshotKinds;
            return false;
        }
        out.kind = Kind::Snapshot;
        out.path = std::string(rest);
    } else if (word == "dump" || word == "quit" || word == "help") {
        if (!rest.empty()) {
            error = std::string(word) + " takes no argument";
            return false;
        }
        out.kind = word == "dump" ? Kind::Dump : word == "quit" ? Kind::Quit : Kind::Help;
    } else {
        error = "unknown command '" + std::string(word) + "'";
        return false;
    }
    return true;
}

}  // namespace vq6120::sim
