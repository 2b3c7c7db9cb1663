// vq6120/reasons.hpp: why a connection to a terminal failed or ended, in the
// words every tool prints: the Poller's state changes (StateChange::reason),
// the gateway's state messages and the command-line tool's errors say the
// same thing for the same failure. Part of vq6120.hpp; it also stands alone
// (standard library only) for programs that only word failures.
//
//   std::string_view why = vq6120::reason::of_connect_error(errno);
//   // after VQ6120Ex_Open or VQ6120Ex_FinishOpen failed on a POSIX system
#pragma once

#include <cerrno>
#include <string_view>

namespace vq6120::reason {

inline constexpr std::string_view kRefused = "connection refused (nothing listens on that port)";
inline constexpr std::string_view kUnreachable = "host unreachable";
inline constexpr std::string_view kConnectFailed = "connect failed";      // any other connect failure
inline constexpr std::string_view kConnectTimeout = "connect timed out";  // no answer within the limit
inline constexpr std::string_view kClosed = "connection closed";          // closed, reset,
                                                                          // keepalive failed, bad frame
inline constexpr std::string_view kNoAutoReport = "no auto report";       // three reports missed
inline constexpr std::string_view kNotReading = "not reading";            // bytes waited, none taken
// A terminal serves one host: it takes a second host's connection and closes
// it at once.
inline constexpr std::string_view kHeldHint = "is another host connected?";

// The reason for a failed connect, from the error the system gave
// (errno, as VQ6120Ex_Open and VQ6120Ex_FinishOpen leave it). Errors it
// does not know read as kConnectFailed.
constexpr std::string_view of_connect_error(int error) noexcept {
    switch (error) {
    case ECONNREFUSED:
        return kRefused;
    case EHOSTUNREACH:
    case ENETUNREACH:
        return kUnreachable;
    case ETIMEDOUT:
        return kConnectTimeout;
    default:
        return kConnectFailed;
    }
}

}  // namespace vq6120::reason
