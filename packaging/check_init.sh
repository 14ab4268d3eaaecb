#!/usr/bin/env bash
# Runs the installed init script for real: start, status, a second start, restart, force-reload
# and stop of the installed daemon (the one the script names) as user nobody, with the run, store,
# log and factory folders in a temporary tree (through the defaults file the script reads).
# Checks the daemon's user and group, the folders' owners and modes, the request socket, the
# pidfile, and the status exit codes.
# Needs root (to change user) and start-stop-daemon; exits 77 (skipped) without them.
# Usage: check_init.sh BUILD SBINDIR DATADIR INITDIR
set -uo pipefail
build=$1 sbindir=$2 datadir=$3 initdir=$4
user=nobody group=nogroup

if [ "$(id -u)" -ne 0 ] || ! command -v start-stop-daemon >/dev/null 2>&1 ||
  ! id "$user" >/dev/null 2>&1 || ! getent group "$group" >/dev/null 2>&1; then
  echo "skipped: needs root, start-stop-daemon, user $user and group $group"
  exit 77
fi

tmp=$(mktemp -d)
chmod 0755 "$tmp" # the daemon's user reaches its folders and program through it
root=$tmp/root
cleanup() {
  if [ -f "$tmp/orv-mdm.pid" ]; then kill -9 "$(cat "$tmp/orv-mdm.pid")" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

cmake --install "$build" --prefix "$root" >/dev/null || exit 1
init=$root/$initdir/orv-mdm
state=$tmp/state
cat >"$tmp/defaults" <<EOF
ORV_MDM_USER=$user
ORV_MDM_GROUP=$group
PIDFILE=$tmp/orv-mdm.pid
STOP_WAIT=5
ORV_RUN_DIR=$state/run/orv
ORV_NVRAM=$state/lib/orv/nvram.db
ORV_LOG_DIR=$state/log/orv
ORV_FACTORY_DIR=$tmp/factory
ORV_MODEM=$tmp/no-modem
ORV_AT_WAIT_SCALE=0.01
EOF
export ORV_MDM_DEFAULTS=$tmp/defaults
svc() { sh "$init" "$@"; }
# alive PID: the process exists and is not a zombie waiting for its reaper.
alive() {
  [ -n "$1" ] && [ -r "/proc/$1/stat" ] && [ "$(awk '{print $3}' "/proc/$1/stat" 2>/dev/null)" != Z ]
}

# expect_rc WHAT WANTED COMMAND...
expect_rc() {
  local what=$1 wanted=$2 rc=0
  shift 2
  "$@" >"$tmp/out" 2>&1 || rc=$?
  if [ "$rc" -ne "$wanted" ]; then
    fail "$what: exit $rc, wanted $wanted: $(cat "$tmp/out")"
  fi
}

expect_rc "status before start" 3 svc status
expect_rc "start" 0 svc start
pid=$(cat "$tmp/orv-mdm.pid" 2>/dev/null)
if ! alive "$pid"; then
  fail "no daemon process after start (pidfile: '$pid')"
else
  uid=$(awk '/^Uid:/ {print $2}' "/proc/$pid/status")
  gid=$(awk '/^Gid:/ {print $2}' "/proc/$pid/status")
  [ "$uid" = "$(id -u "$user")" ] || fail "daemon runs as uid $uid, wanted $user"
  [ "$gid" = "$(getent group "$group" | cut -d: -f3)" ] || fail "daemon runs as gid $gid"
  [ "$(readlink "/proc/$pid/exe")" = "$root/$sbindir/orv_mdm" ] || fail "pid $pid is not the daemon"
  env_of() { tr '\0' '\n' <"/proc/$pid/environ" | sed -n "s|^$1=||p"; }
  [ "$(env_of ORV_DEVICE_DB)" = "$root/$datadir/orv/device.db" ] ||
    fail "daemon's ORV_DEVICE_DB is '$(env_of ORV_DEVICE_DB)'"
  [ "$(env_of ORV_RUN_DIR)" = "$state/run/orv" ] || fail "daemon's ORV_RUN_DIR is '$(env_of ORV_RUN_DIR)'"
fi
for d in run/orv lib/orv log/orv; do
  got=$(stat -c '%U:%G %a' "$state/$d" 2>&1)
  [ "$got" = "$user:$group 750" ] || fail "folder $d: '$got', wanted '$user:$group 750'"
done
[ -S "$state/run/orv/orv_mdm_path" ] || fail "no request socket in the run folder"
expect_rc "status while running" 0 svc status
expect_rc "second start" 0 svc start
[ "$(cat "$tmp/orv-mdm.pid" 2>/dev/null)" = "$pid" ] || fail "second start replaced pid $pid"

expect_rc "restart" 0 svc restart
new_pid=$(cat "$tmp/orv-mdm.pid" 2>/dev/null)
if [ "$new_pid" = "$pid" ] || ! alive "$new_pid"; then
  fail "restart: pid '$pid' -> '$new_pid'"
fi
! alive "$pid" || fail "restart left the old daemon $pid running"

expect_rc "force-reload" 0 svc force-reload
reloaded_pid=$(cat "$tmp/orv-mdm.pid" 2>/dev/null)
if [ "$reloaded_pid" = "$new_pid" ] || ! alive "$reloaded_pid"; then
  fail "force-reload: pid '$new_pid' -> '$reloaded_pid'"
fi
! alive "$new_pid" || fail "force-reload left the old daemon $new_pid running"
new_pid=$reloaded_pid

expect_rc "stop" 0 svc stop
! alive "$new_pid" || fail "stop left the daemon $new_pid running"
[ ! -e "$tmp/orv-mdm.pid" ] || fail "stop left the pidfile"
expect_rc "status after stop" 3 svc status
expect_rc "stop when stopped" 0 svc stop

echo "ORV_MDM_USER=no_such_orv_user" >>"$tmp/defaults"
expect_rc "start without the user" 1 svc start
expect_rc "unknown command" 2 svc reload

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "init script start/status/restart/force-reload/stop: OK"
