#!/usr/bin/env bash
# Builds the daemon, the virtual modem and the benchmarks in Release (build-bench/) and prints
# the performance table: micro-benchmarks, then the end-to-end figures against their targets.
#
#   scripts/bench.sh            # the full run (a few minutes on 2 cores)
#   N=2000 FOOT_N=10000 scripts/bench.sh   # a shorter one
#   PRIO="chrt -f 10" scripts/bench.sh     # the end-to-end tools at real-time priority (root)
#
# Environment: BUILD (build folder), N (requests per instant-modem run), DELAY_N (requests per
# delayed-modem run), DELAY_MS (the modem's delay), FOOT_N (requests of the footprint run),
# STARTS (daemon starts timed), PRIO (a command the end-to-end tools run under).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build-bench}
N=${N:-20000}
DELAY_N=${DELAY_N:-300}
DELAY_MS=${DELAY_MS:-20}
FOOT_N=${FOOT_N:-100000}
STARTS=${STARTS:-30}
PRIO=${PRIO:-}

bash scripts/setup.sh >&2
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target orv_mdm orv_modem_sim orv_device_db orv_mdm_load \
    orv_bench_micro >/dev/null

echo "# orv_mdm benchmarks ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "## Micro-benchmarks (recording platform, no I/O)"
echo
"$BUILD/orv_bench_micro" --benchmark_min_time=0.2 2>/dev/null
echo
echo "## End to end (real daemon, virtual modem on a pty)"
echo
echo "| measure | value | target | verdict |"
echo "|---|---|---|---|"
load="$PRIO $BUILD/orv_mdm_load"
for kind in imei pin iccid mix; do
  $load latency --kind "$kind" -n "$N"
done
$load latency --kind imei -n "$DELAY_N" --delay "$DELAY_MS"
$load latency --kind mix -n "$DELAY_N" --delay "$DELAY_MS"
$load footprint -n "$FOOT_N"
$load startup -r "$STARTS"
strip -o "$BUILD/orv_mdm.stripped" "$BUILD/orv_mdm"
size=$(stat -c %s "$BUILD/orv_mdm.stripped")
verdict=met
[ "$size" -lt 204800 ] || verdict=MISSED
echo "| stripped daemon (SQLite and libc shared) | $((size / 1024)) KB ($size bytes) | < 200 KB | $verdict |"
echo "| daemon's shared libraries | $(ldd "$BUILD/orv_mdm" | awk '/=>/{print $1}' | tr '\n' ' ')| - | - |"
