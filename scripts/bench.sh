#!/usr/bin/env bash
# Builds the daemon, the floor program (bench/floor.cpp), the virtual modem and the benchmarks in
# Release (build-bench/) and prints the performance tables: the micro-benchmarks; the daemon
# against the floor program, measured by turns in the same run with the same load tool and
# options, as ratios against their 1.2x target; the device figures.
#
#   scripts/bench.sh                                   # the full run (5 to 10 minutes on 2 cores)
#   ROUNDS=2 N=2000 IDLE_S=5 scripts/bench.sh          # a quick one
#   PRIO="chrt -f 10" scripts/bench.sh                 # the load tool at real-time priority (root)
#
# Environment: BUILD (build folder), ROUNDS (turns of floor then daemon), N (requests per
# instant-modem run), DELAY_N (requests per delayed-modem run), DELAY_MS (the modem's delay),
# STARTS (starts timed per turn), FOOT_N (requests before the device figures), IDLE_S (idle
# seconds whose wake-ups are counted), PRIO (a command the load tool runs under).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-bench}
ROUNDS=${ROUNDS:-5}
N=${N:-10000}
DELAY_N=${DELAY_N:-200}
DELAY_MS=${DELAY_MS:-20}
STARTS=${STARTS:-30}
FOOT_N=${FOOT_N:-20000}
IDLE_S=${IDLE_S:-60}
PRIO=${PRIO:-}

bash scripts/setup.sh >&2
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target orv_mdm_load orv_bench_micro >/dev/null

echo "# orv_mdm benchmarks ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "## Micro-benchmarks (recording platform, no I/O)"
echo
"$BUILD/orv_bench_micro" --benchmark_min_time=0.2 2>/dev/null
echo

# One line per run: PROGRAM RUN NAME=VALUE...
load="$PRIO $BUILD/orv_mdm_load"
runs=$(mktemp)
trap 'rm -f "$runs"' EXIT
for _ in $(seq "$ROUNDS"); do
  for prog in orv_mdm_floor orv_mdm; do
    echo "$prog instant $($load latency --daemon $prog -n "$N")" >>"$runs"
  done
  for prog in orv_mdm_floor orv_mdm; do
    echo "$prog delay $($load latency --daemon $prog -n "$DELAY_N" --delay "$DELAY_MS")" >>"$runs"
  done
  for prog in orv_mdm_floor orv_mdm; do
    echo "$prog startup $($load startup --daemon $prog -r "$STARTS")" >>"$runs"
  done
done

# Median over the rounds of figure NAME of PROGRAM's runs RUN.
median() {
  awk -v p="$1" -v r="$2" -v k="$3=" '$1 == p && $2 == r {
      for (i = 3; i <= NF; i++) if (index($i, k) == 1) print substr($i, length(k) + 1) }' "$runs" |
    sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# ratio LABEL RUN NAME TARGET: one row, daemon over floor; TARGET is a ratio or "-".
ratio() {
  awk -v l="$1" -v f="$(median orv_mdm_floor "$2" "$3")" -v d="$(median orv_mdm "$2" "$3")" \
      -v t="$4" 'BEGIN { r = d / f
        printf "| %s | %.1f µs | %.1f µs | %.2fx | %s | %s |\n", l, f, d, r,
               t == "-" ? "-" : "<= " t "x", t == "-" ? "-" : r <= t ? "met" : "MISSED" }'
}

echo "## The daemon against the floor program (virtual modem on a pty; median of $ROUNDS turns)"
echo
echo "| measure | floor | orv_mdm | daemon / floor | target | verdict |"
echo "|---|---|---|---|---|---|"
ratio "IMEI latency median, instant modem (n=$N)" instant median_us 1.2
ratio "IMEI latency p99, instant modem" instant p99_us 1.2
ratio "CPU per IMEI request, instant modem" instant cpu_us 1.2
ratio "overhead above a $DELAY_MS ms modem, median (n=$DELAY_N)" delay over_median_us 1.2
ratio "overhead above a $DELAY_MS ms modem, p99" delay over_p99_us 1.2
ratio "exec to request socket ready, median of $STARTS starts" startup socket_us -
echo

foot=$($load footprint -n "$FOOT_N" --idle "$IDLE_S")
fig() { tr ' ' '\n' <<<"$foot" | sed -n "s/^$1=//p"; }
# An idle peer: a small always-on daemon of this machine, for scale beside the memory figures.
peer="none found" pid=
for name in ModemManager ofonod connmand cron dbus-daemon rsyslogd systemd-journal sshd; do
  pid=$(pgrep -xo "$name" || true)
  if [ -n "$pid" ]; then peer="$name (pid $pid)" && break; fi
done
peer_kb() {
  if [ -z "$pid" ]; then echo -; else awk -v k="$1:" '$1 == k { print $2 " kB" }' "/proc/$pid/$2"; fi
}
wakeups=$(fig wakeups)
bytes=$(fig write_bytes)
unchanged=$(fig unchanged)
verdict() { [ "$1" -eq 0 ] && echo met || echo MISSED; }

echo "## Device figures (orv_mdm after $FOOT_N IMEI requests)"
echo
echo "| measure | orv_mdm | idle peer: $peer | target | verdict |"
echo "|---|---|---|---|---|"
echo "| own memory (RssAnon) | $(fig rss_anon_kb) kB | $(peer_kb RssAnon status) | - | - |"
echo "| PSS | $(fig pss_kb) kB | $(peer_kb Pss smaps_rollup) | - | - |"
echo "| wake-ups while idle for $(fig idle_s) s (context switches) | $wakeups | - | 0 | $(verdict "$wakeups") |"
echo "| bytes sent to storage per IMEI request of an unchanged value ($unchanged requests) |" \
  "$((bytes / unchanged)) ($bytes in all) | - | 0 | $(verdict "$bytes") |"
