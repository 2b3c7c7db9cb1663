#include "log.hpp"

#include <cstdio>

#include "payloads.hpp"

namespace vq6120::gateway {

namespace {
bool g_verbose = false;
}

void set_verbose(bool verbose) { g_verbose = verbose; }

void log(Level level, const std::string &line) {
    if (level == Level::debug && !g_verbose) return;
    static const char *const names[] = {"error", "warning", "info", "debug"};
    std::fprintf(stderr, "%s vq6120-gateway %s: %s\n", timestamp().c_str(), names[static_cast<int>(level)], line.c_str());
}

}  // namespace vq6120::gateway
