// The look-ups that are the same calls on every platform (inet_pton,
// getaddrinfo), for platform_posix.cpp and platform_win32.cpp: each includes
// this after its own socket headers.
#pragma once

#include <cstdint>
#include <string>

namespace vq6120::cli::os::lookup {

inline bool parses_as(int family, const std::string &s) {
    in6_addr room{};  // wide enough for either family
    return inet_pton(family, s.c_str(), &room) == 1;
}

// getaddrinfo's result code; on success the first address's IPv4 form (when
// `ipv4` is given).
inline int first_address(const std::string &host, int family, std::uint32_t *ipv4) {
    addrinfo hints{};
    hints.ai_family = family;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *found = nullptr;
    const int rc = getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0) return rc;
    if (ipv4 != nullptr) *ipv4 = reinterpret_cast<sockaddr_in *>(found->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(found);
    return 0;
}

}  // namespace vq6120::cli::os::lookup
