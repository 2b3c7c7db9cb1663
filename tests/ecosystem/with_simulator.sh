#!/usr/bin/env bash
# Runs a host command against a fresh virtual terminal on a free port:
#   with_simulator.sh SIMULATOR COMMAND [ARGS...]
# The literal words @HOST@ and @PORT@ in the arguments become the
# simulator's address and port.
set -euo pipefail
sim=$1
shift
coproc SIM { exec "$sim" --port 0 --no-stdin 2>/dev/null; }
sim_pid=$SIM_PID
trap 'kill "$sim_pid" 2>/dev/null || true' EXIT
read -r -t 10 first <&"${SIM[0]}"
address=${first##* }
host=${address%:*}
port=${address##*:}
args=()
for a in "$@"; do
  a=${a//@HOST@/$host}
  args+=("${a//@PORT@/$port}")
done
"${args[@]}"
