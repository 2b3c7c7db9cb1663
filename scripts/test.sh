#!/usr/bin/env bash
# Builds everything and runs every test: a smoke run of the fuzzers
# (scripts/fuzz.sh, 20 s per harness), the Windows builds (64-bit and 32-bit)
# under Wine, the Debian packages and the README's snippets, then the suite
# once with g++, once with clang under AddressSanitizer and
# UndefinedBehaviorSanitizer, and once with clang under ThreadSanitizer.
# Works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

for preset in gcc asan tsan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

# First, so that the native test runners' summaries close the output.
scripts/fuzz.sh
scripts/test-windows.sh
scripts/check-packages.sh
scripts/check-readme.py

ctest --preset gcc
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest --preset tsan
