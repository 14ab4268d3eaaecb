#!/usr/bin/env bash
# check_quickstart.sh SOURCE BUILD: runs the block of README.md's "Trying requests yourself" as a
# person pastes it into a new shell, twice in a row, in a folder of its own instead of /tmp/orv
# and with this build instead of build/. Each run must end with status 0, print the published
# values, and leave no process of its own behind.
set -u
src=$1 build=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/orv_quickstart_XXXXXX") || exit 1
trap 'pkill -f "$work" 2>/dev/null; rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
fail() { echo "check_quickstart: $*" >&2; exit 1; }

awk '/^## Trying requests yourself/ { on = 1 } on && /^```sh$/ { body = 1; next }
     body && /^```$/ { exit } body' "$src/README.md" >"$work/block.sh"
[ -s "$work/block.sh" ] || fail "no sh block under 'Trying requests yourself' in README.md"
sed -i "s|/tmp/orv|$work/orv|g; s|\\\$PWD/build/|$build/|g; s|^build/|$build/|; s| build/| $build/|g;
        s|tools/modem_sim/|$src/tools/modem_sim/|g" "$work/block.sh"
grep -q "ORV_DEVICE_DB=$build/device.db" "$work/block.sh" || fail "the block's paths were not moved"
for run in 1 2; do
  (cd "$src" && PWD="$src" timeout 120 bash -e "$work/block.sh") >"$work/out.$run" 2>&1 ||
    fail "run $run ended with status $?: $(tail -5 "$work/out.$run")"
  for want in 861234050000017 'pin_code=2468' 'sim_iccid=' 'battery_pers=3' 'pin_status kind='; do
    grep -q -- "$want" "$work/out.$run" || fail "run $run printed no '$want': $(cat "$work/out.$run")"
  done
  # Nothing of the run is left: no modem on its link, no daemon on its socket, no listener.
  if pgrep -f "$work/orv" >/dev/null ||
    "$build/orv_mdm_send" --run-dir "$work/orv/run" TEST_RPC_MSG >/dev/null 2>&1 ||
    ORV_RUN_DIR="$work/orv/run" "$build/orv_mc_listen" --count 1 --timeout 0.1 2>&1 |
    grep -q "already listens"; then
    fail "run $run left processes behind"
  fi
done
echo "quick start: ran twice, values published, nothing left running"
