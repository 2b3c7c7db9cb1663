// The edge node's birth/death sequence number (bdSeq) across restarts: one
// small text file holding the number of the last MQTT CONNECT, a decimal in
// 0..255 and a newline. Each CONNECT's will carries the next number (255 is
// followed by 0), and that number is written, whole, before the CONNECT goes
// out: a write to a temporary file beside it, synced, then renamed over it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace vq6120::gateway {

struct BdSeqRead {
    std::optional<std::uint8_t> last;  // the file's number; empty when missing or unusable
    std::string error;                 // why an existing file was not usable; empty otherwise
};
// A file larger than a few bytes, or holding anything but one number in
// 0..255, is an error; a missing file is not (the first start).
BdSeqRead read_bdseq(const std::string &path);
// Writes `value` atomically; false with the reason in `error`.
bool write_bdseq(const std::string &path, std::uint8_t value, std::string &error);

// Where the file goes when the configuration names none: the directory
// systemd gives the service (STATE_DIRECTORY, from the unit's
// StateDirectory=), else /var/lib/vq6120-gateway; named after the client id,
// so gateways sharing the directory keep apart.
std::string default_bdseq_path(const std::string &client_id);

}  // namespace vq6120::gateway
