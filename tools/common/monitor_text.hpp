// How `vq6120 monitor` writes a frame the terminal sent: the receive result a
// host gets for it and its payload, decoded with the library's own parsers.
// The simulator's live view shows its frame log through the same function.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vq6120::tools {

// e.g. `result 3: channel 0x40 command 0x37 (key) length 1 [05] "." key 5`
// (no line end). `result` is a VQ6120_RECV_ value.
std::string monitor_text(int result, std::span<const std::uint8_t> payload);

}  // namespace vq6120::tools
