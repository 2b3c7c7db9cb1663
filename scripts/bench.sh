#!/usr/bin/env bash
# Builds with the gcc preset (optimised) and runs the benchmarks: the library
# against raw sockets over loopback, ending with a summary of the ratios.
# Extra arguments go to the benchmark binary, e.g. --benchmark_min_time=2
# or --benchmark_filter=Burst.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset gcc >/dev/null
cmake --build --preset gcc --target vq6120_bench
exec build/gcc/bench/vq6120_bench --benchmark_min_time=1 "$@"
