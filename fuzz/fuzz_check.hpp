// The harnesses' one way to fail: print what broke and abort, so libFuzzer
// keeps the input that did it. Each harness is its own program and defines
// FUZZ_HARNESS, the name its failures carry, before including this.
#pragma once

#include <cstdio>
#include <cstdlib>

#ifndef FUZZ_HARNESS
#error "define FUZZ_HARNESS before including fuzz_check.hpp"
#endif

[[noreturn, maybe_unused]] static void fail(const char *what) {
    std::fprintf(stderr, "%s: %s\n", FUZZ_HARNESS, what);
    std::abort();
}

#define CHECK(cond)               \
    do {                          \
        if (!(cond)) fail(#cond); \
    } while (0)
