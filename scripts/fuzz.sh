#!/usr/bin/env bash
# Builds the libFuzzer harnesses (preset `fuzz`: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each for a bounded time.
#
#   scripts/fuzz.sh            smoke run, 20 s per harness (what scripts/test.sh runs)
#   scripts/fuzz.sh 300        five minutes per harness
#
# Each harness starts from its seeds in fuzz/corpus/<harness> and keeps what it
# finds in build/fuzz/runs/<harness>/corpus, so later runs go on from there;
# the seeds in the tree are never written. A crash, a failed check, a leak or a
# slow input stops the script with the input saved next to that corpus
# (crash-*, leak-*, timeout-*); replay it with `build/fuzz/fuzz/<harness>_fuzzer FILE`.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-20}"

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers

# Each harness with its input bound (-max_len), one line per harness.
harnesses=(
  "gateway_config     65536"    # a configuration of some hundred terminals
  "host_reader        140000"   # room for two largest host frames (65,535 bytes)
  "host_state         4096"     # some STATE messages, past the payload bound (1 KiB)
  "json_command       65536"    # room for a picture's header claims and a small picture in base64
  "live_view          20000"    # past the server's body bound (16 KiB)
  "model_reply        40000"
  "payload_parsers    64"
  "picture            300000"   # four leading bytes, then a picture file
  "receive_walk       40000"    # room for a largest frame (32,768 bytes) and more
  "socket_receive     40000"
  "sparkplug_command  70000"    # past the command payload bound (64 KiB)
)

for line in "${harnesses[@]}"; do
  read -r harness max_len <<<"$line"
  run="build/fuzz/runs/$harness"
  mkdir -p "$run/corpus"
  log="$run/last.log"
  if ! "build/fuzz/fuzz/${harness}_fuzzer" "$run/corpus" "fuzz/corpus/$harness" \
        -max_total_time="$seconds" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$run/" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $harness FAILED (input saved in $run/)" >&2
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  units=$(find "$run/corpus" -type f | wc -l)
  echo "fuzz: $harness ok: ${runs} executions in ${seconds} s (${rate}/s), corpus ${units} inputs"
done
