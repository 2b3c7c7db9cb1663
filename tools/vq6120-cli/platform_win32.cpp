// Winsock must be started before a look-up: each call holds it for its
// duration (Winsock counts the starts), so the tool needs no set-up of its own.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform.hpp"
#include "platform_lookup.hpp"

namespace vq6120::cli::os {
namespace {

struct WinsockUse {
    WinsockUse() {
        WSADATA data;
        started = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }
    ~WinsockUse() {
        if (started) ::WSACleanup();
    }
    WinsockUse(const WinsockUse &) = delete;
    WinsockUse &operator=(const WinsockUse &) = delete;
    bool started = false;
};

// gai_strerror's text is a static buffer in the ANSI code page on Windows:
// take it from the system message table instead.
std::string message(int code) {
    char text[256] = {};
    const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                     static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string s(text, n);
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == '.')) s.pop_back();
    return s.empty() ? "error " + std::to_string(code) : s;
}

int g_interrupt_status = 130;

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI end_at_once(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    const bool interrupted = event == CTRL_C_EVENT;
    const char *text = interrupted ? "vq6120: interrupted\n" : "vq6120: terminated\n";
    DWORD written = 0;
    ::WriteFile(::GetStdHandle(STD_ERROR_HANDLE), text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
    ::ExitProcess(interrupted ? static_cast<UINT>(g_interrupt_status) : 143);
    return TRUE;
}

}  // namespace

bool is_ipv4_literal(const std::string &s) {
    WinsockUse winsock;
    return lookup::parses_as(AF_INET, s);
}

bool is_ipv6_literal(const std::string &s) {
    WinsockUse winsock;
    return lookup::parses_as(AF_INET6, s);
}

std::optional<std::uint32_t> lookup_ipv4(const std::string &host, std::string &error) {
    WinsockUse winsock;
    std::uint32_t address = 0;
    if (const int rc = lookup::first_address(host, AF_INET, &address); rc != 0) {
        error = message(rc);
        return std::nullopt;
    }
    return address;
}

bool has_ipv6_address(const std::string &host) {
    WinsockUse winsock;
    return lookup::first_address(host, AF_INET6, nullptr) == 0;
}

std::tm local_time(std::time_t t) {
    std::tm local{};
    localtime_s(&local, &t);
    return local;
}

void exit_on_interrupt(int status) {
    g_interrupt_status = status;
    ::SetConsoleCtrlHandler(end_at_once, TRUE);
}

}  // namespace vq6120::cli::os
