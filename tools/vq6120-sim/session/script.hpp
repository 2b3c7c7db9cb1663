// The operator's command language, read from a script file and from
// standard input, one command a line:
//   key N               press key N (0..255, decimal or 0x..): a key frame
//   di A B              set the first and second digital input (0 or 1)
//   serial P "text"     data arrives on serial port P (1 or 2) for the host;
//                       \n \r \t \\ \" and \xHH escapes inside the quotes
//   wait 200ms | 2s     pause the script
//   wait connect        pause until a host is connected
//   wait disconnect     pause until no host is connected
//   snapshot FILE.png   write a picture of the terminal (FILE.txt: the text dump)
//   dump                print the text dump on standard output
//   help                print this list on standard output
//   quit                stop the simulator
// Blank lines and lines starting with '#' are skipped.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vq6120::sim {

struct ScriptCommand {
    enum class Kind { Nothing, Key, DigitalInputs, Serial, Wait, WaitConnect, WaitDisconnect, Snapshot, Dump, Help, Quit };
    Kind kind = Kind::Nothing;
    std::uint8_t key = 0;
    bool input1 = false;
    bool input2 = false;
    int port = 0;
    std::vector<std::uint8_t> data;
    std::chrono::milliseconds duration{0};
    std::string path;
};

// The list of commands as `help` prints it.
inline constexpr char kScriptHelp[] =
    "operator commands, one a line:\n"
    "  key N               a key press (0..255, decimal or 0x..) goes to the host\n"
    "  di A B              set the first and second digital input (0 or 1)\n"
    "  serial P \"text\"     data arrives on serial port P (1 or 2) for the host; escapes \\n \\r \\t \\\\ \\\" \\xHH\n"
    "  wait 200ms | 2s     pause the commands (the terminal goes on serving)\n"
    "  wait connect        pause until a host is connected\n"
    "  wait disconnect     pause until no host is connected\n"
    "  snapshot FILE.png   write a picture of the terminal; FILE.txt writes the text dump\n"
    "  dump                print the text dump\n"
    "  help                print this list\n"
    "  quit                stop the simulator\n"
    "blank lines and lines starting with # are skipped\n";

// The words of the language, for the languages built on it.
std::string_view trim(std::string_view s);
std::string_view next_word(std::string_view &s);           // splits off the first blank-separated word
bool parse_number(std::string_view s, long max, long &out);  // 0..max, decimal or 0x..
bool parse_duration(std::string_view s, std::chrono::milliseconds &out);  // 200ms, 2s, 50

// Parses one line. On a mistake returns false and says why in `error`.
bool parse_command(std::string_view line, ScriptCommand &out, std::string &error);

}  // namespace vq6120::sim
