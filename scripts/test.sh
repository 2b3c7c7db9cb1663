#!/usr/bin/env bash
# Builds everything and runs every test: once with g++, once with clang under
# AddressSanitizer and UndefinedBehaviorSanitizer, and once cross-built for
# Windows and run under Wine. Works on a fresh machine.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

for preset in gcc asan; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
done

ctest --preset gcc
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --preset asan
scripts/test-windows.sh
