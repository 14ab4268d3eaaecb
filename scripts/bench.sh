#!/usr/bin/env bash
# Builds the daemon, the two floor programs (bench/floor.cpp), the virtual modem and the
# benchmarks in Release (build-bench/) and prints the performance tables: the micro-benchmarks;
# the daemon against the floor program (the least an IMEI request needs) and against the required
# floor (that least plus the log lines and the echo the daemon must write), measured by turns in
# the same run with the same load tool and options; instructions and system calls per request of
# all three; the device figures, with oFono and ModemManager idle beside the daemon when they are
# installed. The last line is for machines:
#   ratios cpu_vs_required_floor=R latency_vs_required_floor=R instructions_vs_required_floor=R
#
#   scripts/bench.sh                                   # the full run (5 to 10 minutes on 2 cores)
#   ROUNDS=2 N=2000 IDLE_S=5 scripts/bench.sh          # a quick one
#   PEERS=install scripts/bench.sh                     # install oFono and ModemManager first (root)
#   PRIO="chrt -f 10" scripts/bench.sh                 # the load tool at real-time priority (root)
#
# Environment: BUILD (build folder), ROUNDS (turns of the three programs), N (requests per
# instant-modem run), DELAY_N (requests per delayed-modem run), DELAY_MS (the modem's delay),
# STARTS (starts timed per turn), FOOT_N (requests before the device figures), IDLE_S (idle
# seconds whose wake-ups are counted), COUNT_N (requests between the two instruction counts),
# PEERS (install: apt-get install ofono and modemmanager when missing; none: leave them out),
# PRIO (a command the load tool runs under).
set -euo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
-h | --help)
  sed -n '2,21p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
  ;;
esac

BUILD=${BUILD:-build-bench}
ROUNDS=${ROUNDS:-5}
N=${N:-10000}
DELAY_N=${DELAY_N:-200}
DELAY_MS=${DELAY_MS:-20}
STARTS=${STARTS:-30}
FOOT_N=${FOOT_N:-20000}
IDLE_S=${IDLE_S:-60}
COUNT_N=${COUNT_N:-1000}
PEERS=${PEERS:-}
PRIO=${PRIO:-}

bash scripts/setup.sh >&2
cmake -S . -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$BUILD" -j2 --target orv_mdm_load orv_bench_micro >/dev/null
# The counters' tools, when this runs as root and they are missing.
if [ "$(id -u)" = 0 ] && ! { command -v valgrind && command -v strace; } >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends valgrind strace >&2
fi
if [ "$PEERS" = install ] && [ "$(id -u)" = 0 ] &&
  ! { command -v ofonod && command -v ModemManager; } >/dev/null; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends ofono modemmanager \
    >&2
fi

work=$(mktemp -d)
runs=$work/runs
peer_pids=()
cleanup() {
  for p in "${peer_pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "# orv_mdm benchmarks ($(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg))"
echo
echo "## Micro-benchmarks (recording platform, no I/O)"
echo
"$BUILD/orv_bench_micro" --benchmark_min_time=0.2 2>/dev/null
echo

# One line per run: PROGRAM RUN NAME=VALUE...
load="$PRIO $BUILD/orv_mdm_load"
progs="orv_mdm_floor orv_mdm_floor_required orv_mdm"
for _ in $(seq "$ROUNDS"); do
  for prog in $progs; do
    echo "$prog instant $($load latency --daemon $prog -n "$N")" >>"$runs"
  done
  for prog in $progs; do
    echo "$prog delay $($load latency --daemon $prog -n "$DELAY_N" --delay "$DELAY_MS")" >>"$runs"
  done
  for prog in $progs; do
    echo "$prog startup $($load startup --daemon $prog -r "$STARTS")" >>"$runs"
  done
done

# Median over the rounds of figure NAME of PROGRAM's runs RUN.
median() {
  awk -v p="$1" -v r="$2" -v k="$3=" '$1 == p && $2 == r {
      for (i = 3; i <= NF; i++) if (index($i, k) == 1) print substr($i, length(k) + 1) }' "$runs" |
    sort -g | awk '{ v[NR] = $1 } END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# ratio LABEL RUN NAME TARGET: one row, the daemon over each floor; TARGET (against the required
# floor) is a ratio or "-".
ratio() {
  awk -v l="$1" -v f="$(median orv_mdm_floor "$2" "$3")" \
    -v q="$(median orv_mdm_floor_required "$2" "$3")" -v d="$(median orv_mdm "$2" "$3")" \
    -v t="$4" 'BEGIN { r = d / f; rq = d / q
        printf "| %s | %.1f µs | %.1f µs | %.1f µs | %.2fx | %.2fx | %s | %s |\n", l, f, q, d, r,
               rq, t == "-" ? "-" : "<= " t "x", t == "-" ? "-" : rq <= t ? "met" : "MISSED" }'
}

echo "## The daemon against the floor programs (virtual modem on a pty; median of $ROUNDS turns)"
echo
echo "| measure | floor | required floor | orv_mdm | daemon / floor | daemon / required | target | verdict |"
echo "|---|---|---|---|---|---|---|---|"
ratio "IMEI latency median, instant modem (n=$N)" instant median_us 1.1
ratio "IMEI latency p99, instant modem" instant p99_us -
ratio "CPU per IMEI request, instant modem" instant cpu_us 1.15
ratio "overhead above a $DELAY_MS ms modem, median (n=$DELAY_N)" delay over_median_us -
ratio "overhead above a $DELAY_MS ms modem, p99" delay over_p99_us -
ratio "exec to request socket ready, median of $STARTS starts" startup socket_us -
echo

# Instructions per IMEI request, counted by callgrind (the same count on any machine; it counts
# each byte of a rep-prefixed string instruction, so the 10 KiB clear of the response record
# before every command weighs in full): the difference between a run of 200 requests and one of
# 200 + COUNT_N, divided by COUNT_N (a thousand, so that the store's checkpoints, every few hundred
# requests, fall alike into every program's count).
instructions() {
  local prog=$1 out n total=()
  for n in 200 $((200 + COUNT_N)); do
    out=$work/callgrind.$prog.$n
    ORV_DAEMON_WRAPPER="valgrind --tool=callgrind --callgrind-out-file=$out" \
      "$BUILD/orv_mdm_load" latency --daemon "$prog" -n "$n" >/dev/null
    total+=("$(sed -n 's/^summary: //p' "$out")")
  done
  echo $(((total[1] - total[0]) / COUNT_N))
}
# System calls per IMEI request of a run of 50 under strace (attached after the warm-up).
syscalls() {
  "$BUILD/orv_mdm_load" latency --daemon "$1" -n 50 --strace "$work/strace.$1" >/dev/null
  echo $(($(grep -cv 'resumed>\|exited with\|+++\|---' "$work/strace.$1") / 50))
}
# One request's system calls in order: from the second request received to the third.
one_request() {
  awk '{ sub(/^[0-9]+ +/, ""); sub(/\(.*/, "") } $0 == "recvfrom" { n++ } n == 2' \
    "$work/strace.$1" | paste -sd' '
}
declare -A ins calls
for prog in $progs; do
  ins[$prog]=-
  calls[$prog]=-
  if command -v valgrind >/dev/null; then ins[$prog]=$(instructions "$prog"); fi
  if command -v strace >/dev/null; then calls[$prog]=$(syscalls "$prog"); fi
done
# row LABEL FLOOR REQUIRED DAEMON TARGET
row() {
  awk -v l="$1" -v f="$2" -v q="$3" -v d="$4" -v t="$5" 'BEGIN {
      if (q == "-" || d == "-") { printf "| %s | %s | %s | %s | - | - | not measured |\n", l, f, q, d; exit }
      r = d / q
      printf "| %s | %s | %s | %s | %.2fx | %s | %s |\n", l, f, q, d, r,
             t == "-" ? "-" : "<= " t "x", t == "-" ? "-" : r <= t ? "met" : "MISSED" }'
}
echo "## Instructions and system calls per IMEI request"
echo
echo "| measure | floor | required floor | orv_mdm | daemon / required | target | verdict |"
echo "|---|---|---|---|---|---|---|"
row "instructions (user space, callgrind, $COUNT_N requests)" "${ins[orv_mdm_floor]}" \
  "${ins[orv_mdm_floor_required]}" "${ins[orv_mdm]}" 1.15
row "system calls (strace, 50 requests)" "${calls[orv_mdm_floor]}" \
  "${calls[orv_mdm_floor_required]}" "${calls[orv_mdm]}" -
if command -v strace >/dev/null; then
  echo
  for prog in $progs; do echo "- $prog, one request: $(one_request "$prog")"; done
fi
echo

# The peers, idle on a private system bus of their own during the daemon's footprint run, so
# that the three are measured at the same time (PSS shares the libraries among them).
ofono_pid= mm_pid=
if [ "$PEERS" != none ] && command -v ofonod >/dev/null && command -v ModemManager >/dev/null &&
  command -v dbus-daemon >/dev/null; then
  cat >"$work/bus.conf" <<EOF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$work/bus</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow own="*"/><allow send_destination="*"/><allow receive_sender="*"/>
  </policy>
</busconfig>
EOF
  dbus-daemon --config-file="$work/bus.conf" --nofork --nopidfile 2>/dev/null &
  peer_pids+=($!)
  for _ in $(seq 100); do [ -S "$work/bus" ] && break || sleep 0.05; done
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus ofonod -n >/dev/null 2>&1 &
  ofono_pid=$!
  peer_pids+=($!)
  DBUS_SYSTEM_BUS_ADDRESS=unix:path=$work/bus ModemManager >/dev/null 2>&1 &
  mm_pid=$!
  peer_pids+=($!)
fi

foot=$($load footprint -n "$FOOT_N" --idle "$IDLE_S")
fig() { tr ' ' '\n' <<<"$foot" | sed -n "s/^$1=//p"; }
# peer_kb PID KEY FILE: KEY of /proc/PID/FILE in kB; "-" when the process is not there.
peer_kb() {
  if [ -z "$1" ] || ! kill -0 "$1" 2>/dev/null; then echo -; else
    awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/$3"
  fi
}
of_rss=$(peer_kb "$ofono_pid" VmRSS status) mm_rss=$(peer_kb "$mm_pid" VmRSS status)
of_pss=$(peer_kb "$ofono_pid" Pss smaps_rollup) mm_pss=$(peer_kb "$mm_pid" Pss smaps_rollup)
of_anon=$(peer_kb "$ofono_pid" RssAnon status) mm_anon=$(peer_kb "$mm_pid" RssAnon status)
wakeups=$(fig wakeups)
bytes=$(fig write_bytes)
unchanged=$(fig unchanged)
verdict() { [ "$1" -eq 0 ] && echo met || echo MISSED; }
# half DAEMON OFONO: the daemon's figure over oFono's, and whether it is below half.
half() {
  awk -v d="$1" -v o="$2" 'BEGIN { if (o == "-") print "- | not measured (oFono not running)";
    else printf "%.2fx | %s\n", d / o, d / o < 0.5 ? "met" : "MISSED" }'
}

echo "## Device figures (orv_mdm after $FOOT_N IMEI requests; oFono and ModemManager idle)"
echo
echo "| measure | orv_mdm | oFono | ModemManager | daemon / oFono | below 0.5x |"
echo "|---|---|---|---|---|---|"
echo "| RSS | $(fig rss_kb) kB | $of_rss kB | $mm_rss kB | - | - |"
echo "| PSS | $(fig pss_kb) kB | $of_pss kB | $mm_pss kB | $(half "$(fig pss_kb)" "$of_pss") |"
echo "| own memory (RssAnon) | $(fig rss_anon_kb) kB | $of_anon kB | $mm_anon kB |" \
  "$(half "$(fig rss_anon_kb)" "$of_anon") |"
echo
echo "| measure | orv_mdm | target | verdict |"
echo "|---|---|---|---|"
echo "| wake-ups while idle for $(fig idle_s) s (context switches) | $wakeups | 0 | $(verdict "$wakeups") |"
echo "| bytes sent to storage per IMEI request of an unchanged value ($unchanged requests) |" \
  "$((bytes / unchanged)) ($bytes in all) | 0 | $(verdict "$bytes") |"
echo
awk -v c="$(median orv_mdm instant cpu_us)" -v cq="$(median orv_mdm_floor_required instant cpu_us)" \
  -v l="$(median orv_mdm instant median_us)" \
  -v lq="$(median orv_mdm_floor_required instant median_us)" \
  -v i="${ins[orv_mdm]}" -v iq="${ins[orv_mdm_floor_required]}" 'BEGIN {
    printf "ratios cpu_vs_required_floor=%.2f latency_vs_required_floor=%.2f instructions_vs_required_floor=%s\n",
           c / cq, l / lq, (i == "-" || iq == "-") ? "-" : sprintf("%.2f", i / iq) }'
