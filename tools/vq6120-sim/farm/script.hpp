// The farm's operator commands: every command of the single simulator, each
// aimed at one terminal or all of them, and the farm's own: traffic, faults
// and their undo, status.
//   [on N|all] COMMAND     N counts terminals from 0 (port P + N); no `on`: all
//   traffic RATE [serial P | keys]   RATE frames/s (0 stops) of serial data on
//                          port P (default 1) carrying a sequence number and
//                          the send time, or key presses
//   freeze / thaw          stop reading the host / read again
//   noaccept / accept      stop answering new connections (a full accept
//                          queue) / answer again
//   drop                   close the host's connection
//   garbage                send the host bytes no terminal sends
//   silent / speak         send nothing (no answers, no reports, no traffic),
//                          go on reading / send again
//   restart [TIME]         close the connection and the listener, listen
//                          again after TIME (default 0) with no faults
//   status                 one summary line; with `on`, a line per terminal
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "session/script.hpp"

namespace vq6120::sim {

struct FarmCommand {
    enum class Kind { Terminal, Traffic, Freeze, Thaw, NoAccept, Accept, Drop, Garbage, Silent, Speak, Restart, Status };
    Kind kind = Kind::Terminal;
    std::optional<std::size_t> target;  // none: every terminal
    bool aimed = false;                 // `on` was given
    ScriptCommand command;              // Kind::Terminal: what to do
    double rate = 0;                    // Traffic: frames per second per terminal
    int traffic_port = 1;               // Traffic: serial port 1 or 2, 0 for key presses
    std::chrono::milliseconds duration{0};  // Restart: how long the listener stays closed
};

inline constexpr char kFarmHelp[] =
    "with --terminals, each command acts on every terminal, or on one with a prefix:\n"
    "  on N COMMAND        terminal N only (0 is the first port); on all COMMAND: every one\n"
    "  traffic RATE [serial P | keys]   RATE frames/s from each terminal, 0 stops: serial data\n"
    "                      on port P (default 1) with a sequence number and the send time, or key presses\n"
    "  freeze | thaw       stop reading the host's data | read again\n"
    "  noaccept | accept   stop answering new connections (full accept queue) | answer again\n"
    "  drop                close the host's connection\n"
    "  garbage             send the host a frame on an unknown channel, then a stream out of step\n"
    "  silent | speak      send nothing at all, keep reading | send again\n"
    "  restart [TIME]      close connection and listener, listen again after TIME, faults cleared\n"
    "  status              a summary line; with on N or on all, one line per terminal\n";

// Parses one line. On a mistake returns false and says why in `error`.
bool parse_farm_command(std::string_view line, FarmCommand &out, std::string &error);

}  // namespace vq6120::sim
