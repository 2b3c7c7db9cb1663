#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "platform.hpp"
#include "platform_lookup.hpp"

namespace vq6120::cli::os {

bool is_ipv4_literal(const std::string &s) { return lookup::parses_as(AF_INET, s); }
bool is_ipv6_literal(const std::string &s) { return lookup::parses_as(AF_INET6, s); }

std::optional<std::uint32_t> lookup_ipv4(const std::string &host, std::string &error) {
    std::uint32_t address = 0;
    if (const int rc = lookup::first_address(host, AF_INET, &address); rc != 0) {
        error = gai_strerror(rc);
        return std::nullopt;
    }
    return address;
}

bool has_ipv6_address(const std::string &host) { return lookup::first_address(host, AF_INET6, nullptr) == 0; }

std::tm local_time(std::time_t t) {
    std::tm local{};
    localtime_r(&t, &local);
    return local;
}

}  // namespace vq6120::cli::os
