#include "target.hpp"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace vq6120::cli {
namespace {

constexpr const char *kNoIpv6 = "IPv6 is not supported: VQ6120 terminals speak IPv4 only";

bool is_ipv6(const std::string &host) {
    in6_addr a{};
    return inet_pton(AF_INET6, host.c_str(), &a) == 1;
}

bool is_port(std::string_view s) {
    unsigned p = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), p);
    return !s.empty() && ec == std::errc{} && end == s.data() + s.size() && p >= 1 && p <= 65535;
}

// Whether `family` finds `host` at all.
bool has_addresses(const std::string &host, int family) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0) return false;
    freeaddrinfo(found);
    return true;
}

}  // namespace

std::optional<Target> resolve(const std::string &given, std::string &error) {
    // Two colons or brackets cannot be HOST:PORT: it is an IPv6 address.
    if (given.starts_with('[') || given.find(':') != given.rfind(':') || is_ipv6(given)) {
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
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    if (const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found); rc != 0) {
        error = has_addresses(host, AF_INET6) ? "'" + host + "' has only IPv6 addresses; " + kNoIpv6
                                              : "cannot resolve '" + host + "': " + gai_strerror(rc);
        return std::nullopt;
    }
    t.address = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return t;
}

bool looks_like_address(std::string_view word) {
    const std::string s(word);
    in_addr a4{};
    if (inet_pton(AF_INET, s.c_str(), &a4) == 1 || is_ipv6(s) || s == "localhost" || s.starts_with('[')) return true;
    const auto colon = s.rfind(':');
    if (colon == std::string::npos || colon == 0 || !is_port(s.substr(colon + 1))) return false;
    const std::string host = s.substr(0, colon);
    return host == "localhost" || inet_pton(AF_INET, host.c_str(), &a4) == 1 ||
           std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; });
}

VQ6120_HANDLE connect(const Target &target, int timeout_ms, std::string &reason) {
    errno = 0;
    VQ6120_HANDLE h = VQ6120Ex_Open(target.address, target.port, timeout_ms);
    if (h != nullptr) return h;
    const int error = errno;
    if (error == ETIMEDOUT) {
        reason = "timed out after " + std::to_string(timeout_ms) + " ms (no answer from the address)";
    } else if (error == ECONNREFUSED) {
        reason = "refused (nothing listens on that port)";
    } else if (error == EHOSTUNREACH || error == ENETUNREACH) {
        reason = std::string("unreachable (") + std::strerror(error) + ")";
    } else {
        reason = error != 0 ? std::strerror(error) : "failed";
    }
    return nullptr;
}

}  // namespace vq6120::cli
