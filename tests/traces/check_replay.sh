#!/bin/sh
# check_replay.sh ORV_TRACE TRACES: replay of a trace with its first published IMEI changed
# exits 1 and names that write and its request; a trace cut inside a record exits 2 and names the
# cut line; a redacted trace has other identities and still replays. (A file begun at a rotation
# is replayed by the e2e test Trace.RotatesPastItsLimitAndEachFileReplaysOnItsOwn, from a real
# rotation.)
set -u
tool=$1 trace=$2/late_answer.jsonl swap=$2/sim_swap.jsonl
# A folder of its own, so that two runs at once do not share files; removed however it ends.
work=$(mktemp -d "${TMPDIR:-/tmp}/orv_check_replay_XXXXXX") || exit 1
trap 'rm -rf "$work"' EXIT
trap 'exit 130' INT TERM
fail() { echo "check_replay: $*" >&2; exit 1; }

sed '0,/"n":"imei","v":"3569/s//"n":"imei","v":"9569/' "$trace" >"$work/edited.jsonl"
grep -q '"v":"9569' "$work/edited.jsonl" || fail "no IMEI write in $trace to edit"
"$tool" replay --fast "$work/edited.jsonl" 2>"$work/edited.err"
status=$?
[ $status -eq 1 ] || fail "edited trace: exit $status, want 1"
grep -q 'differs in request 2 of 3 (7 ORV_MDM_GET_IMEI' "$work/edited.err" || fail "edited trace: $(cat "$work/edited.err")"
grep -q 'expected: write imei = "9569' "$work/edited.err" || fail "edited trace: $(cat "$work/edited.err")"
grep -q 'got:      write imei = "3569' "$work/edited.err" || fail "edited trace: $(cat "$work/edited.err")"

head -c "$(($(wc -c <"$trace") / 2))" "$trace" >"$work/cut.jsonl"
"$tool" replay --fast "$work/cut.jsonl" 2>"$work/cut.err"
status=$?
[ $status -eq 2 ] || fail "cut trace: exit $status, want 2"
lines=$(wc -l <"$work/cut.jsonl")
grep -q "cut.jsonl:$((lines + 1)): " "$work/cut.err" || fail "cut trace: $(cat "$work/cut.err")"
grep -q 8944123456789012345F "$swap" || fail "no ICCID in $swap to redact"
"$tool" redact "$swap" -o "$work/redacted.jsonl" 2>/dev/null || fail "redact failed"
! grep -q 8944123456789012345F "$work/redacted.jsonl" || fail "the ICCID is still in the redacted trace"
"$tool" replay --fast "$work/redacted.jsonl" || fail "the redacted trace does not replay"
# A paced replay stopped by SIGTERM ends its daemon and virtual modem and removes its folder.
"$tool" replay "$trace" >"$work/stopped.out" 2>&1 &
replay=$!
folder=
for _ in $(seq 400); do
  for child in $(pgrep -P $replay); do
    folder=$(tr '\0' '\n' <"/proc/$child/cmdline" 2>/dev/null | sed -n 's|/journal$||p')
    [ -n "$folder" ] && break
  done
  [ -n "$folder" ] && [ -S "$folder/run/orv_mdm_path" ] && break
  sleep 0.05
done
[ -n "$folder" ] || fail "the replay started no virtual modem"
children=$(pgrep -P $replay | tr '\n' ' ')
kill -TERM $replay
wait $replay
status=$?
[ $status -eq 143 ] || fail "stopped replay: exit $status, want 143: $(cat "$work/stopped.out")"
[ ! -e "$folder" ] || fail "the stopped replay left its folder $folder"
for child in $children; do
  ! kill -0 "$child" 2>/dev/null || fail "the stopped replay left process $child running"
done
echo "edited trace: $(cat "$work/edited.err" | head -1)"
echo "cut trace: $(cat "$work/cut.err")"
