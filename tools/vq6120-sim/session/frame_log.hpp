// Frames as the verbose log shows them: the command's name, the header
// fields, the payload in hex and, where it helps, decoded.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vq6120::sim {

// "model name", "line", "serial data", ... or "?".
const char *command_name(std::uint8_t channel, std::uint8_t command, std::uint8_t subcode);

// "<- line: ch 0x40 cmd 0x47 sub 0 len 16 [00 00 ...] (0, 0, 239, 63)"
std::string describe(const char *arrow, std::uint8_t channel, std::uint8_t command, std::uint8_t subcode,
                     std::span<const std::uint8_t> payload);

}  // namespace vq6120::sim
