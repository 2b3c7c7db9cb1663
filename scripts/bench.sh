#!/usr/bin/env bash
# Builds with the gcc preset (optimised) and runs the benchmarks: the library
# against raw sockets over loopback, ending with a summary of the ratios; then
# the plant-scale ones (plant_bench): a batched redraw, 1,000 terminals on one
# host thread through the Poller against the spinning sweep, and opening
# 1,000 terminals of which 100 never answer.
# Extra arguments go to the first benchmark binary, e.g. --benchmark_min_time=2
# or --benchmark_filter=Burst.
#   PLANT=0                 skip the plant-scale benchmarks
#   PLANT_ONLY=1            run only them
#   OPEN_BASELINE_COUNT=0   skip the one-by-one opening baseline (its silent
#                           terminal blocks for as long as the kernel retries
#                           the handshake, about two minutes)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset gcc >/dev/null
cmake --build --preset gcc --target vq6120_bench plant_bench
if [ "${PLANT_ONLY:-0}" != 1 ]; then
  build/gcc/bench/vq6120_bench --benchmark_min_time=1 "$@"
fi
if [ "${PLANT:-1}" != 0 ]; then
  plant=build/gcc/bench/plant_bench
  echo
  "$plant" redraw
  echo
  "$plant" events --terminals 1000 --rate 10 --seconds 10 --idle-seconds 5
  echo
  "$plant" open --terminals 1000 --silent 100 --limit-ms 1000 --baseline-count "${OPEN_BASELINE_COUNT:-100}"
fi
