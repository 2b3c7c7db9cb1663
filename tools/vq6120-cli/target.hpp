// Where the terminal is and how to reach it: HOST or HOST:PORT, IPv4 only,
// with a time limit on the connect and the reason when it fails.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "VQ6120_LIB.h"

namespace vq6120::cli {

constexpr std::uint16_t kDefaultPort = 16120;

struct Target {
    std::uint32_t address = 0;  // network byte order
    std::uint16_t port = kDefaultPort;
};

// HOST or HOST:PORT; HOST is a name or an IPv4 address. IPv6 addresses are
// refused with a sentence saying so: the terminals speak IPv4 only.
std::optional<Target> resolve(const std::string &given, std::string &error);

// Whether a command-line word reads as a terminal's address rather than a
// value: a dotted IPv4 address, an IPv6 address, localhost, or NAME:PORT.
bool looks_like_address(std::string_view word);

// Connects within `timeout_ms`; on failure returns nullptr and says why
// (refused, timed out, unreachable, ...).
VQ6120_HANDLE connect(const Target &target, int timeout_ms, std::string &why_not);

}  // namespace vq6120::cli
