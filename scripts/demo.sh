#!/usr/bin/env bash
# The dashboard example against the virtual terminal: installs what the demo
# needs and nothing else (scripts/setup.sh demo: compilers, CMake, the
# libraries of the library and the virtual terminal), builds only the
# library, the simulator and the dashboard, starts the simulator on a free
# port with a short operator script (a key, a digital-input change, serial
# data on both ports), runs the dashboard against it and leaves a PNG of the
# terminal in build/demo/terminal.png. The simulator's live view is up all the
# while at the printed http:// address (loopback only); run from a terminal,
# the demo keeps the simulator and the page up afterwards until Enter or
# Ctrl-C.
# The build is preset demo (build/gcc-demo): the fastest build of these
# targets, and what a fresh machine runs, so the README check (CI) runs it too.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
scripts/setup.sh demo || { echo "demo: the demo's packages are missing (above)" >&2; exit 1; }
build="$root/build/gcc-demo"
cmake --preset demo >/dev/null
cmake --build --preset demo

out="$root/build/demo"
mkdir -p "$out"
rm -f "$out/terminal.png"
cat >"$out/operator.txt" <<SCRIPT
# Runs inside the simulator while the dashboard polls.
wait connect
wait 1s
key 5
wait 400ms
di 1 0
wait 400ms
serial 1 "hello port 1"
wait 300ms
serial 2 "T=21.5C\r\n"
wait 300ms
key 12
wait disconnect
snapshot $out/terminal.png
dump
SCRIPT

sim="$build/tools/vq6120-sim/vq6120-sim"
coproc SIM { exec "$sim" --port 0 --http 127.0.0.1:0 --script "$out/operator.txt" 2>"$out/simulator.log"; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT

# The simulator's first line names the port it got.
read -r -t 10 first <&"${SIM[0]}"
port=${first##*:}
echo "simulator: $first"
# The second names the live view's page.
read -r -t 10 http <&"${SIM[0]}"
echo "live view: ${http#http: }  (open it in a browser)"

"$build/examples/dashboard" 127.0.0.1 "$port" 4

if [ -t 0 ]; then
  echo "the simulator stays up for the live view: ${http#http: }"
  read -r -p "press Enter (or Ctrl-C) to stop it " _ || true
fi
echo quit >&"${SIM[1]}"

# The rest of the simulator's output is its closing text dump.
cat <&"${SIM[0]}" >"$out/terminal.txt"
wait "$sim_pid"
trap - EXIT
echo "text dump: $out/terminal.txt"
echo "snapshot: $out/terminal.png"
