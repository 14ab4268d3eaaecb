#!/usr/bin/env bash
# Runs the first stage of the suite N times (default 20) with -j2 while one more process keeps a
# core busy, as on a loaded CI machine. Builds build/ first when it is missing or stale. Prints
# each failed test's name and output, and exits 1 when any run failed.
#
#   scripts/soak.sh [N]        SOAK_LABELS=e2e|platform scripts/soak.sh 10   (a -L expression)
#   SOAK_BUILD=build-asan scripts/soak.sh 5                                   (another build)
set -uo pipefail
cd "$(dirname "$0")/.."

case "${1:-}" in
-h | --help)
  sed -n '2,7p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
  ;;
--version)
  echo "soak.sh ($(sed -n 's/^project(orv_mdm VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt))"
  exit 0
  ;;
esac
runs="${1:-20}"
if ! [[ "$runs" =~ ^[1-9][0-9]*$ ]]; then
  echo "soak.sh: the number of runs must be a positive whole number, not '$runs'" >&2
  exit 2
fi
build="${SOAK_BUILD:-build}"
labels=()
if [ -n "${SOAK_LABELS:-}" ]; then
  labels=(-L "$SOAK_LABELS")
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
fi
cmake --build "$build" -j2 >/dev/null || {
  echo "soak.sh: the build in $build failed" >&2
  exit 2
}

logs="$(mktemp -d /tmp/orv_soak_XXXXXX)"
busy_pid=""
cleanup() {
  if [ -n "$busy_pid" ]; then
    kill "$busy_pid" 2>/dev/null
    wait "$busy_pid" 2>/dev/null
  fi
  rm -rf "$logs"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The extra load: one process spinning on a core for as long as the runs last.
bash -c 'while :; do :; done' &
busy_pid=$!

failed_runs=0
for ((i = 1; i <= runs; i++)); do
  log="$logs/run$i.log"
  if ctest --test-dir "$build" -j2 --output-on-failure "${labels[@]}" >"$log" 2>&1; then
    echo "run $i/$runs: passed ($(grep -Eo '[0-9]+ tests passed|tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1 || true))"
  else
    failed_runs=$((failed_runs + 1))
    echo "run $i/$runs: FAILED"
    sed -n '/The following tests FAILED/,$p' "$log"
    # Each failed test's own output, as ctest printed it after its status line.
    awk '/^ *[0-9]+\/[0-9]+ Test +#[0-9]+:/ { p = /\*\*\*/ } p { print "    " $0 }' "$log"
  fi
done
echo "soak: $((runs - failed_runs)) of $runs runs passed, $failed_runs failed"
[ "$failed_runs" = 0 ]
