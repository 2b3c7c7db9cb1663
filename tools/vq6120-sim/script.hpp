// The operator's command language, read from a script file and from
// standard input, one command a line:
//   key N               press key N (0..255, decimal or 0x..): a key frame
//   di A B              set the first and second digital input (0 or 1)
//   serial P "text"     data arrives on serial port P (1 or 2) for the host;
//                       \n \r \t \\ \" and \xHH escapes inside the quotes
//   wait 200ms | 2s     pause the script
//   wait connect        pause until a host is connected
//   wait disconnect     pause until no host is connected
//   snapshot FILE.png   write a picture of the terminal
//   dump                print the text dump on standard output
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
    enum class Kind { Nothing, Key, DigitalInputs, Serial, Wait, WaitConnect, WaitDisconnect, Snapshot, Dump, Quit };
    Kind kind = Kind::Nothing;
    std::uint8_t key = 0;
    bool input1 = false;
    bool input2 = false;
    int port = 0;
    std::vector<std::uint8_t> data;
    std::chrono::milliseconds duration{0};
    std::string path;
};

// Parses one line. On a mistake returns false and says why in `error`.
bool parse_command(std::string_view line, ScriptCommand &out, std::string &error);

}  // namespace vq6120::sim
