#!/usr/bin/env bash
# The C++ plant example against a farm of two virtual terminals that press
# keys: both come online, keys arrive, and Ctrl-C (SIGINT) ends it cleanly.
#   plant.sh SIMULATOR PLANT
set -euo pipefail
sim=$1
plant=$2
work=$(mktemp -d)
trap 'kill "$sim_pid" 2>/dev/null || true; rm -rf "$work"' EXIT
printf 'wait connect\ntraffic 5 keys\n' >"$work/script"
coproc SIM { exec "$sim" --terminals 2 --port 0 --no-stdin --script "$work/script" 2>/dev/null; }
sim_pid=$SIM_PID
read -r -t 10 ports <&"${SIM[0]}"
set -- ${ports#ports: }
"$plant" --auto-report 5 "127.0.0.1:$1" "127.0.0.1:$2" >"$work/out" &
plant_pid=$!
for _ in $(seq 100); do
  [ "$(grep -c ': key ' "$work/out" || true)" -ge 4 ] && break
  sleep 0.1
done
kill -INT "$plant_pid"
wait "$plant_pid"
cat "$work/out"
for port in "$1" "$2"; do
  grep -q "^127.0.0.1:$port: online$" "$work/out"
  grep -q "^127.0.0.1:$port: key " "$work/out"
done
