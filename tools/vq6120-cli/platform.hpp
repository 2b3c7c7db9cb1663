// The command-line tool's calls into the operating system (address parsing,
// name look-ups, local time, Ctrl-C), one implementation file per platform
// (platform_posix.cpp, platform_win32.cpp).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

namespace vq6120::cli::os {

bool is_ipv4_literal(const std::string &s);
bool is_ipv6_literal(const std::string &s);

// The first IPv4 address of `host` (network byte order), or nothing and the
// resolver's message in `error`.
std::optional<std::uint32_t> lookup_ipv4(const std::string &host, std::string &error);

// Whether `host` has IPv6 addresses (to say why an IPv4 look-up found none).
bool has_ipv6_address(const std::string &host);

// `t` broken down in the local time zone (thread-safe).
std::tm local_time(std::time_t t);

// From now on Ctrl-C ends the tool at once, wherever it waits (connect,
// answer, monitor): "vq6120: interrupted" on standard error, exit status
// `status`. A termination request (SIGTERM; Ctrl-Break and closing the
// console window on Windows) ends it the same way, with "terminated".
void exit_on_interrupt(int status);

}  // namespace vq6120::cli::os
