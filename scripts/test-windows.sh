#!/usr/bin/env bash
# The Windows builds, tested on Linux: cross-builds VQ6120_LIB.dll, its import
# library, the tests and the example host program with MinGW-w64 for x86-64
# (preset mingw) and for 32-bit x86 (preset mingw32), checks each DLL's export
# table, and runs every test under Wine (64-bit and 32-bit prefixes) against
# loopback sockets. When the example host program and the virtual terminal
# are part of the tree, each example .exe then runs under Wine against the
# natively built terminal (preset gcc, built by scripts/test.sh).
# Expects the packages of scripts/setup.sh.
#   test-windows.sh [PRESET...]     (default: mingw mingw32)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(mingw mingw32)

export WINEDEBUG=-all
# Ends the wineserver and Wine's services of each prefix when we are done;
# scripts/wine-run.sh starts them on first use.
stop_wine() {
  for preset in "${presets[@]}"; do
    WINEPREFIX="$root/build/$preset/wineprefix" wineserver -k 2>/dev/null || true
  done
}
trap stop_wine EXIT

for preset in "${presets[@]}"; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" -j2   # the test preset sets the Wine prefix and its architecture
done

sim="$root/build/gcc/tools/vq6120-sim/vq6120-sim"
# The example host program of one build against the virtual terminal.
run_example() {
  local preset=$1 dashboard="$root/build/$1/bin/dashboard.exe" out="$root/build/$1/example" sim_pid port first
  if [ ! -x "$dashboard" ] || [ ! -x "$sim" ]; then
    echo "example under Wine ($preset): skipped (needs examples/dashboard.c and the gcc build of tools/vq6120-sim)"
    return 0
  fi
  mkdir -p "$out"
  cat >"$out/operator.txt" <<'SCRIPT'
wait connect
wait 500ms
key 5
wait 300ms
di 1 0
wait 300ms
serial 1 "hello from the terminal"
wait disconnect
dump
quit
SCRIPT
  coproc SIM { exec "$sim" --port 0 --no-stdin --script "$out/operator.txt" 2>"$out/simulator.log"; }
  sim_pid=$SIM_PID
  # Bash drops SIM once the simulator has quit: keep its output on our own fd.
  exec {sim_out}<&"${SIM[0]}"
  trap 'kill "$sim_pid" 2>/dev/null || true; stop_wine' EXIT
  # The simulator's first line names the port it got.
  read -r -t 10 first <&"$sim_out"
  port=${first##*:}
  local arch=win64
  [ "$preset" != mingw32 ] || arch=win32
  WINEPREFIX="$root/build/$preset/wineprefix" WINEARCH=$arch \
    scripts/wine-run.sh "$dashboard" 127.0.0.1 "$port" 3 >"$out/dashboard.txt"
  cat <&"$sim_out" >"$out/terminal.txt"
  exec {sim_out}<&-
  wait "$sim_pid"
  trap stop_wine EXIT
  echo "example under Wine ($preset): dashboard.exe ran against the virtual terminal on port $port (output in $out)"
}
# The command-line tool of one build against the virtual terminal: an
# answered probe, a request and its answer, a refused value (exit 2).
run_cli() {
  local preset=$1 cli="$root/build/$1/bin/vq6120.exe" arch=win64 status
  [ "$preset" != mingw32 ] || arch=win32
  if [ ! -x "$cli" ] || [ ! -x "$sim" ]; then
    echo "vq6120.exe under Wine ($preset): skipped (needs the tools and the gcc build of tools/vq6120-sim)"
    return 0
  fi
  export WINEPREFIX="$root/build/$preset/wineprefix" WINEARCH=$arch
  tests/ecosystem/with_simulator.sh "$sim" scripts/wine-run.sh "$cli" probe @HOST@:@PORT@
  tests/ecosystem/with_simulator.sh "$sim" scripts/wine-run.sh "$cli" @HOST@:@PORT@ di | grep -q "input1 0 input2 0"
  status=0
  tests/ecosystem/with_simulator.sh "$sim" scripts/wine-run.sh "$cli" @HOST@:@PORT@ draw-line 0 0 240 0 \
    2>/dev/null || status=$?
  [ "$status" -eq 2 ] || { echo "vq6120.exe: x2 240 gave exit status $status, not 2" >&2; return 1; }
  unset WINEPREFIX WINEARCH
  echo "vq6120.exe under Wine ($preset): probe, inputs and a refused value as on Linux"
}
for preset in "${presets[@]}"; do
  run_example "$preset"
  run_cli "$preset"
done
