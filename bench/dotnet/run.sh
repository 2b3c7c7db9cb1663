#!/usr/bin/env bash
# The .NET package against C and C++ in one run, after a gcc build (with
# bench/plant_bench built):
#  1. a command (DrawPixel) through Terminal vs. the same call from C, each
#     on its own connection to a virtual terminal, three times in turn (the
#     machine's load shifts between them), and bytes allocated per call;
#  2. TERMINALS terminals sending RATE stamped events a second each (started
#     staggered over a second, as plant_bench does), read by TerminalHost from
#     one task, against the C++ Poller serving the same farm load on one
#     thread (plant_bench events): p50/p99 send-to-event latency and CPU per
#     event, both after the connects and a second of warm-up.
# Ends with one line of ratios and the load average.
#   run.sh [CALLS] [TERMINALS] [SECONDS] [RATE]
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
calls=${1:-100000} terminals=${2:-1000} seconds=${3:-10} rate=${4:-10}
sim=build/gcc/tools/vq6120-sim/vq6120-sim
plant=build/gcc/bench/plant_bench
[ -x "$plant" ] || { echo "build bench/plant_bench first: cmake --build --preset gcc --target plant_bench" >&2; exit 1; }
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
gcc -O2 -Iinclude bench/dotnet/command.c -Lbuild/gcc/src -lVQ6120_LIB -Wl,-rpath,"$root/build/gcc/src" -o "$work/command"
dotnet build bench/dotnet -c Release --nologo -v quiet -o "$work/bench" >/dev/null
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }

# ---- 1. One command ---------------------------------------------------------
port_of() { sed -nE 's/^listening on .*:([0-9]+)$/\1/p' "$1"; }
"$sim" --port 0 --no-stdin >"$work/sim1" 2>/dev/null &
"$sim" --port 0 --no-stdin >"$work/sim2" 2>/dev/null &
until [ -s "$work/sim1" ] && [ -s "$work/sim2" ]; do sleep 0.1; done
command_ratios=()
for round in 1 2 3; do
  read -r c c_cpu < <("$work/command" "$(port_of "$work/sim1")" "$calls")
  read -r cs cs_cpu alloc < <(dotnet "$work/bench/Bench.dll" command "$(port_of "$work/sim2")" "$calls")
  command_ratios+=("$(ratio "$cs_cpu" "$c_cpu")")
  echo "command $round: wall C ${c} ns, C# ${cs} ns ($(ratio "$cs" "$c")x); thread CPU C ${c_cpu} ns," \
       "C# ${cs_cpu} ns (${command_ratios[-1]}x); C# allocations ${alloc} bytes per call"
done

# ---- 2. Events from many terminals ------------------------------------------
poller=$("$plant" events --terminals "$terminals" --rate "$rate" --seconds "$seconds" --idle-seconds 1 --no-baseline |
         grep '^result ')
echo "C++ Poller: $poller"
field() { sed -nE "s/.* $1=([0-9.]+).*/\1/p" <<<"$2"; }

mkfifo "$work/farm-in"
"$sim" --terminals "$terminals" --port 0 <"$work/farm-in" >"$work/farm" 2>/dev/null &
exec 3>"$work/farm-in"
until [ -s "$work/farm" ]; do sleep 0.1; done
ports=$(head -1 "$work/farm" | sed 's/^ports: //')
# The bench says when every terminal is connected; the traffic starts then,
# staggered (twenty groups a twentieth of a period apart, so that the
# terminals do not all send in the same instant), within its warm-up.
dotnet "$work/bench/Bench.dll" events $ports "$seconds" >"$work/dotnet-out" &
bench=$!
for ((i = 0; i < 600; i++)); do grep -q '^connected' "$work/dotnet-out" && break; sleep 0.1; done
group=$(((terminals + 19) / 20)) pause=$(awk -v r="$rate" 'BEGIN { print 1 / r / 20 }')
for ((i = 0; i < terminals; i++)); do
  echo "on $i traffic $rate" >&3
  if (((i + 1) % group == 0)); then sleep "$pause"; fi
done
wait "$bench"
dotnet_line=$(grep '^terminals ' "$work/dotnet-out")
echo quit >&3
echo "C# TerminalHost: $dotnet_line"
read -r _ _ _ _ _ _ _ p50 _ p99 _ cpu < <(echo "$dotnet_line")
echo "ratios: command C#/C (CPU) ${command_ratios[*]}; events C#/Poller p99 $(ratio "$p99" "$(awk -v u="$(field p99_us "$poller")" 'BEGIN { print u / 1000 }')")" \
     "CPU per event $(ratio "$cpu" "$(field cpu_us_per_event "$poller")"); load $(cut -d' ' -f1-3 /proc/loadavg)"
