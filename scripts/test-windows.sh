#!/usr/bin/env bash
# The Windows build, tested on Linux: cross-builds VQ6120_LIB.dll, its import
# library, the tests and the example host program with MinGW-w64 (preset
# mingw), checks the DLL's export table, and runs every test under Wine
# against loopback sockets. When the example host program and the virtual
# terminal are part of the tree, the example's .exe then runs under Wine
# against the natively built terminal (preset gcc, built by scripts/test.sh).
# Expects the packages of scripts/setup.sh.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

export WINEPREFIX="$root/build/mingw/wineprefix" WINEDEBUG=-all WINEARCH=win64
# Ends the wineserver and Wine's services of this prefix when we are done;
# scripts/wine-run.sh starts them on first use.
trap 'wineserver -k 2>/dev/null || true' EXIT

cmake --preset mingw >/dev/null
cmake --build --preset mingw
ctest --preset mingw -j2

dashboard="$root/build/mingw/bin/dashboard.exe"
sim="$root/build/gcc/tools/vq6120-sim/vq6120-sim"
if [ ! -x "$dashboard" ] || [ ! -x "$sim" ]; then
  echo "example under Wine: skipped (needs examples/dashboard.c and the gcc build of tools/vq6120-sim)"
  exit 0
fi

out="$root/build/mingw/example"
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
trap 'kill "$sim_pid" 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
# The simulator's first line names the port it got.
read -r -t 10 first <&"$sim_out"
port=${first##*:}
scripts/wine-run.sh "$dashboard" 127.0.0.1 "$port" 3 >"$out/dashboard.txt"
cat <&"$sim_out" >"$out/terminal.txt"
wait "$sim_pid"
echo "example under Wine: dashboard.exe ran against the virtual terminal on port $port (output in $out)"
