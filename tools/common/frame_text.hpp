// One line of text for a frame the terminal sent, as `vq6120 monitor` prints
// it: where it came from, what it is, its payload in hex and as text, and the
// decoded key or inputs. Shared with whatever else shows terminal traffic, so
// it needs nothing but the standard library.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace vq6120::text {

// A frame from the terminal by its header: "channel 0x40 command 0x37 (key)
// length 1 [07] "." key 7". `with_payload` false leaves out the length and
// the bytes (for frames whose payload the host never sees).
std::string terminal_frame(std::uint8_t channel, std::uint8_t command, std::span<const std::uint8_t> payload,
                           bool with_payload = true);

// The same for a GetDataFromEthernet result and its payload, starting with
// "result N: "; an empty string for results that stand for no frame.
std::string receive_result(int result, std::span<const std::uint8_t> payload);

}  // namespace vq6120::text
