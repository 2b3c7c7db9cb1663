#!/usr/bin/env bash
# Runs the many-terminals measurement (plant_bench events, the Poller only)
# for 100 to 2,000 terminals and draws p99 latency and host CPU per event
# against the number of terminals into docs/scaling.png, with gnuplot. The
# figures go to build/gcc/scaling-MODE.dat as well.
#
#   scripts/scaling-plot.sh                 # 100 200 500 1000 1500 2000
#   COUNTS="100 1000" SECONDS_EACH=5 scripts/scaling-plot.sh
#   MODES="normal rt" scripts/scaling-plot.sh
#       rt: host and farm again at real-time priority (chrt -f 20, needs
#       root). On a machine busy with other work this measures the loop
#       rather than the scheduler's run queue; both go on the plot.
#   PLOT_ONLY=1 MODES="normal rt" scripts/scaling-plot.sh
#       draws the plot again from the last run's figures
set -euo pipefail
cd "$(dirname "$0")/.."
counts=(${COUNTS:-100 200 500 1000 1500 2000})
modes=(${MODES:-normal})
seconds=${SECONDS_EACH:-10}
out=${PLOT:-docs/scaling.png}

[ "${PLOT_ONLY:-0}" = 1 ] || scripts/setup.sh
command -v gnuplot >/dev/null || {
  echo "installing gnuplot-nox for the plot"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends gnuplot-nox
}
if [ "${PLOT_ONLY:-0}" != 1 ]; then
  cmake --preset gcc >/dev/null
  cmake --build --preset gcc --target plant_bench
fi

plots=()
for mode in "${modes[@]}"; do
  case "$mode" in
    normal) run=(); label="normal priority" ;;
    rt) run=(chrt -f 20); label="real-time priority" ;;
    *) echo "unknown mode $mode (normal, rt)" >&2; exit 2 ;;
  esac
  data=build/gcc/scaling-$mode.dat
  plots+=("\"$data\" using 1:(\$3/1000) with linespoints lw 2 pt 7 title \"p99 latency (ms), $label\"")
  plots+=("\"$data\" using 1:4 axes x1y2 with linespoints lw 2 pt 5 dt 2 title \"host CPU per event (µs), $label\"")
  [ "${PLOT_ONLY:-0}" != 1 ] || continue
  echo "# terminals p50_us p99_us cpu_us_per_event idle_core_percent load1" >"$data"
  for n in "${counts[@]}"; do
    echo "== $n terminals, $label"
    "${run[@]}" build/gcc/bench/plant_bench events --terminals "$n" --seconds "$seconds" --idle-seconds 5 \
      --no-baseline |
      tee /dev/stderr |
      awk '$1 == "result" {
             for (i = 2; i <= NF; i++) { split($i, kv, "="); v[kv[1]] = kv[2] }
             print v["terminals"], v["p50_us"], v["p99_us"], v["cpu_us_per_event"], v["idle_core_percent"], v["load1"]
           }' >>"$data"
  done
  cat "$data"
done

loads=$(for mode in "${modes[@]}"; do cat "build/gcc/scaling-$mode.dat"; done | awk '!/^#/ { print $6 }' | sort -g | sed -n '1p;$p' | paste -sd-)
gnuplot <<EOF
set terminal pngcairo size 900,540 font "DejaVu Sans,11"
set output "$out"
set title "One host thread, 10 events/s per terminal, loopback, $(nproc) cores (1-min load average $loads)"
set xlabel "terminals"
set ylabel "p99 latency, farm's send to host's handler (ms, log scale)"
set logscale y
set y2label "host CPU per event (µs)"
set ytics nomirror
set y2tics
set yrange [0.05:100]
set y2range [0:*]
set key top left
set grid
plot $(IFS=,; echo "${plots[*]}")
EOF
echo "wrote $out"
