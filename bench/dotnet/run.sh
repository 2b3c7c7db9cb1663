#!/usr/bin/env bash
# The .NET package against C in one run, after a gcc build:
#  1. a command (DrawPixel) through Terminal vs. the same call from C, each
#     on its own connection to a virtual terminal, and bytes allocated per call;
#  2. TerminalHost reading a farm's traffic from one task: latency and CPU.
#   run.sh [CALLS] [TERMINALS] [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
calls=${1:-200000} terminals=${2:-1000} seconds=${3:-20}
sim=build/gcc/tools/vq6120-sim/vq6120-sim
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
gcc -O2 -Iinclude bench/dotnet/command.c -Lbuild/gcc/src -lVQ6120_LIB -Wl,-rpath,"$root/build/gcc/src" -o "$work/command"
dotnet build bench/dotnet -c Release --nologo -v quiet -o "$work/bench" >/dev/null

port_of() { sed -nE 's/^listening on .*:([0-9]+)$/\1/p' "$1"; }
"$sim" --port 0 --no-stdin >"$work/sim1" 2>/dev/null &
"$sim" --port 0 --no-stdin >"$work/sim2" 2>/dev/null &
until [ -s "$work/sim1" ] && [ -s "$work/sim2" ]; do sleep 0.1; done
c=$("$work/command" "$(port_of "$work/sim1")" "$calls")
read -r cs alloc < <(dotnet "$work/bench/Bench.dll" command "$(port_of "$work/sim2")" "$calls")
echo "command: C ${c} ns, C# ${cs} ns, ratio $(awk -v a="$cs" -v b="$c" 'BEGIN { printf "%.2f", a / b }'), C# allocations ${alloc} bytes per call"

mkfifo "$work/farm-in"
"$sim" --terminals "$terminals" --port 0 <"$work/farm-in" >"$work/farm" 2>/dev/null &
exec 3>"$work/farm-in"
until [ -s "$work/farm" ]; do sleep 0.1; done
ports=$(head -1 "$work/farm" | sed 's/^ports: //')
echo "wait connect" >&3
echo "traffic 10" >&3
dotnet "$work/bench/Bench.dll" events $ports "$seconds"
echo quit >&3
