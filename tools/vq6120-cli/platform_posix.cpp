#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>

#include "platform.hpp"
#include "platform_lookup.hpp"

namespace vq6120::cli::os {
namespace {

int g_interrupt_status = 130;

// Only async-signal-safe calls: the tool may be inside any library call.
extern "C" void end_at_once(int signal_number) {
    static constexpr char kInterrupted[] = "vq6120: interrupted\n";
    static constexpr char kTerminated[] = "vq6120: terminated\n";
    const bool interrupted = signal_number == SIGINT;
    const ssize_t n = ::write(STDERR_FILENO, interrupted ? kInterrupted : kTerminated,
                              (interrupted ? sizeof kInterrupted : sizeof kTerminated) - 1);
    static_cast<void>(n);
    ::_exit(interrupted ? g_interrupt_status : 128 + signal_number);
}

}  // namespace

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

void exit_on_interrupt(int status) {
    g_interrupt_status = status;
    struct sigaction action {};
    action.sa_handler = end_at_once;
    sigemptyset(&action.sa_mask);
    for (const int signal_number : {SIGINT, SIGTERM}) ::sigaction(signal_number, &action, nullptr);
}

}  // namespace vq6120::cli::os
