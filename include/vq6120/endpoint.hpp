// vq6120/endpoint.hpp: a terminal's address, and the socket and clock types
// the other parts share. Part of vq6120.hpp; include that.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "vq6120/detail/reactor.hpp"

namespace vq6120 {

// A POSIX descriptor or a Windows SOCKET.
using native_socket_t = detail::native_socket_t;
using Clock = std::chrono::steady_clock;

// ---- Addresses ---------------------------------------------------------

struct Endpoint {
    std::uint32_t address = 0;  // IPv4, network byte order (as inet_addr gives)
    std::uint16_t port = 16120; // host byte order

    // "a.b.c.d" or "a.b.c.d:port"; nullopt when it is not that.
    static std::optional<Endpoint> parse(std::string_view text, std::uint16_t default_port = 16120) {
        Endpoint e;
        e.port = default_port;
        const auto colon = text.rfind(':');
        std::string host(text.substr(0, colon));
        if (colon != std::string_view::npos) {
            const std::string_view digits = text.substr(colon + 1);
            unsigned long value = 0;
            if (digits.empty() || digits.size() > 5) {
                return std::nullopt;
            }
            for (const char c : digits) {
                if (c < '0' || c > '9') {
                    return std::nullopt;
                }
                value = value * 10 + static_cast<unsigned long>(c - '0');
            }
            if (value == 0 || value > 65535) {
                return std::nullopt;
            }
            e.port = static_cast<std::uint16_t>(value);
        }
        const auto address = detail::parse_ipv4(host.c_str());
        if (!address) {
            return std::nullopt;
        }
        e.address = *address;
        return e;
    }

    std::string to_string() const {
        const auto *b = reinterpret_cast<const unsigned char *>(&address);
        return std::to_string(b[0]) + '.' + std::to_string(b[1]) + '.' + std::to_string(b[2]) + '.' +
               std::to_string(b[3]) + ':' + std::to_string(port);
    }
};

}  // namespace vq6120
