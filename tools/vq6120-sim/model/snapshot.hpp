// Pictures of the whole terminal: a plain-text dump for tests and terminals,
// and a PNG for people.
#pragma once

#include <string>
#include <string_view>

#include "model/terminal.hpp"

namespace vq6120::sim {

// The graphic screen as ASCII art ('#' on, '.' off) in a frame, the text
// screen and keyboard display in frames, then one line per state.
std::string text_dump(const Terminal &t, bool host_connected);

// Writes the PNG to `path`; false (with `error` set) when it cannot.
bool write_png(const Terminal &t, bool host_connected, const std::string &path, std::string &error);

// The picture a file name asks for: `.png` a PNG, `.txt` the text dump.
enum class SnapshotKind { Unknown, Png, Text };
SnapshotKind snapshot_kind(std::string_view path);
inline constexpr char kSnapshotKinds[] = "the file name must end in .png (a picture) or .txt (the text dump)";

// Writes the picture `path` asks for; false (with `error` set) when it cannot
// or the name ends in neither.
bool write_snapshot(const Terminal &t, bool host_connected, const std::string &path, std::string &error);

}  // namespace vq6120::sim
