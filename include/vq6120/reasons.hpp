// vq6120/reasons.hpp: why a terminal was lost or is waiting, in the words
// every tool prints. Part of vq6120.hpp; include that.
#pragma once

#include <string_view>

namespace vq6120 {

// Why a terminal was lost or is waiting (StateChange::reason).
namespace reason {
inline constexpr std::string_view kConnectFailed = "connect failed";      // refused or unreachable
inline constexpr std::string_view kConnectTimeout = "connect timed out";  // no answer within the limit
inline constexpr std::string_view kClosed = "connection closed";          // closed, reset,
                                                                          // keepalive failed, bad frame
inline constexpr std::string_view kNoAutoReport = "no auto report";       // three reports missed
inline constexpr std::string_view kNotReading = "not reading";            // bytes waited, none taken
}  // namespace reason

}  // namespace vq6120
