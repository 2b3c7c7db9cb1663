#!/usr/bin/env bash
# The Windows builds, tested on Linux: cross-builds VQ6120_LIB.dll, its import
# library, the tests and the example host program with MinGW-w64 for x86-64
# (preset mingw) and for 32-bit x86 (preset mingw32), checks each DLL's export
# table, and runs every test under Wine (64-bit and 32-bit prefixes) against
# loopback sockets. When the example host program and the virtual terminal
# are part of the tree, each example .exe then runs under Wine against the
# natively built terminal (preset gcc, built by scripts/test.sh), and each
# vq6120-sim.exe runs under Wine against the natively built vq6120 CLI.
# Expects the packages of scripts/setup.sh (groups mingw-x64 and windows-x64 for preset
# mingw, mingw-i686 and windows-x86 for mingw32); 64-bit Wine alone runs the mingw preset.
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
  # The test preset sets the Wine prefix and its architecture. Now and then
  # (one launch in a few thousand, under the load of a whole run) a program
  # dies under Wine at start, in a tenth of a second and without a line of
  # output; a test that fails is therefore run once more, and fails the suite
  # only when it fails again. Both attempts stay in the output.
  ctest --preset "$preset" -j2 --repeat until-pass:2
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
# The virtual terminal of one build under Wine, driven over loopback by the
# natively built command-line tool: an answered probe and a line drawn, seen
# in the terminal's dump, and the PNG snapshot written on the way out.
run_sim() {
  local preset=$1 exe="$root/build/$1/bin/vq6120-sim.exe" out="$root/build/$1/simulator" arch=win64
  local cli="$root/build/gcc/tools/vq6120-cli/vq6120" sim_pid first port
  [ "$preset" != mingw32 ] || arch=win32
  if [ ! -x "$exe" ] || [ ! -x "$cli" ]; then
    echo "vq6120-sim.exe under Wine ($preset): skipped (needs the gcc build of tools/vq6120-cli)"
    return 0
  fi
  mkdir -p "$out"
  rm -f "$out/exit.png"
  printf '%s\n' "wait connect" "wait disconnect" "wait connect" "wait disconnect" dump quit >"$out/operator.txt"
  export WINEPREFIX="$root/build/$preset/wineprefix" WINEARCH=$arch
  coproc WSIM { exec scripts/wine-run.sh "$exe" --port 0 --no-stdin --script "$out/operator.txt" \
                  --snapshot-on-exit "$out/exit.png" 2>"$out/simulator.log"; }
  sim_pid=$WSIM_PID
  exec {wsim_out}<&"${WSIM[0]}"
  trap 'kill "$sim_pid" 2>/dev/null || true; stop_wine' EXIT
  read -r -t 60 first <&"$wsim_out"
  first=${first%$'\r'}
  port=${first##*:}
  timeout 30 "$cli" probe "127.0.0.1:$port" >/dev/null
  timeout 30 "$cli" "127.0.0.1:$port" draw-line 0 0 239 0
  timeout 60 cat <&"$wsim_out" | tr -d '\r' >"$out/terminal.txt"
  exec {wsim_out}<&-
  wait "$sim_pid"
  trap stop_wine EXIT
  unset WINEPREFIX WINEARCH
  # The first row of the graphic screen is the line drawn, end to end.
  grep -A2 "^graphic screen 240x64" "$out/terminal.txt" | grep -qx "|$(printf '#%.0s' {1..240})|" ||
    { echo "vq6120-sim.exe ($preset): the line drawn is not in the dump ($out/terminal.txt)" >&2; return 1; }
  [ "$(grep -c "^host connected" "$out/simulator.log")" -eq 2 ] ||
    { echo "vq6120-sim.exe ($preset): not two hosts served ($out/simulator.log)" >&2; return 1; }
  [ "$(head -c 8 "$out/exit.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] ||
    { echo "vq6120-sim.exe ($preset): no PNG snapshot at $out/exit.png" >&2; return 1; }
  echo "vq6120-sim.exe under Wine ($preset): probe, a line drawn and its PNG, as on Linux (output in $out)"
}
for preset in "${presets[@]}"; do
  run_example "$preset"
  run_cli "$preset"
  run_sim "$preset"
done
