#include "target.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

#include "platform.hpp"
#include "vq6120/reasons.hpp"

namespace vq6120::cli {
namespace {

constexpr const char *kNoIpv6 = "IPv6 is not supported: VQ6120 terminals speak IPv4 only";

bool is_port(std::string_view s) {
    unsigned p = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), p);
    return !s.empty() && ec == std::errc{} && end == s.data() + s.size() && p >= 1 && p <= 65535;
}

}  // namespace

std::optional<Target> resolve(const std::string &given, std::string &error) {
    // Two colons or brackets cannot be HOST:PORT: it is an IPv6 address.
    if (given.starts_with('[') || given.find(':') != given.rfind(':') || os::is_ipv6_literal(given)) {
        error = "'" + given + "': " + kNoIpv6;
        return std::nullopt;
    }
    std::string host = given;
    Target t;
    if (const auto colon = given.rfind(':'); colon != std::string::npos) {
        host = given.substr(0, colon);
        const std::string port = given.substr(colon + 1);
        if (!is_port(port)) {
            error = "port '" + port + "' is not in 1..65535";
            return std::nullopt;
        }
        t.port = static_cast<std::uint16_t>(std::stoi(port));
    }
    std::string why;
    const auto address = os::lookup_ipv4(host, why);
    if (!address) {
        error = os::has_ipv6_address(host) ? "'" + host + "' has only IPv6 addresses; " + kNoIpv6
                                            : "cannot resolve '" + host + "': " + why;
        return std::nullopt;
    }
    t.address = *address;
    return t;
}

bool looks_like_address(std::string_view word) {
    const std::string s(word);
    if (os::is_ipv4_literal(s) || os::is_ipv6_literal(s) || s == "localhost" || s.starts_with('[')) return true;
    const auto colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0 || !is_port(s.substr(colon + 1))) return false;
    const std::string host = s.substr(0, colon);
    return host == "localhost" || os::is_ipv4_literal(host) ||
           std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; });
}

VQ6120_HANDLE connect(const Target &target, int timeout_ms, std::string &why_not) {
    errno = 0;
    VQ6120_HANDLE h = VQ6120Ex_Open(target.address, target.port, timeout_ms);
    if (h != nullptr) return h;
    const int error = errno;
    const std::string_view why = reason::of_connect_error(error);
    why_not = why;
    if (why == reason::kConnectTimeout) {
        why_not += " after " + std::to_string(timeout_ms) + " ms (no answer from the address)";
    } else if (why == reason::kConnectFailed && error != 0) {
        why_not += std::string(" (") + std::strerror(error) + ")";
    }
    return nullptr;
}

}  // namespace vq6120::cli
