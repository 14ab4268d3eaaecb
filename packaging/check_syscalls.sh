#!/usr/bin/env bash
# The installed systemd unit against what the daemon does:
#   - `systemd-analyze verify` has nothing to say about it;
#   - `systemd-analyze security --offline=true` rates its exposure at most 2.0;
#   - every system call the daemon makes through a whole session (orv_syscall_session: bring-up,
#     every request, a line that hangs up, a store fault, log rotation, the field trace, a TCP
#     modem that goes away and comes back), recorded with strace, is one the unit's
#     SystemCallFilter= lets through, resolved with `systemd-analyze syscall-filter` as systemd
#     does: the first line decides between allow and deny list, an allow list starts from
#     @default, and each later line adds (or with ~ takes away) its calls in order.
# Prints the calls recorded. Exits 77 (skipped) when strace or systemd-analyze is missing and
# cannot be installed (as root with apt-get), or when strace may not trace here.
# Usage: check_syscalls.sh BUILD UNITDIR SESSION   (UNITDIR relative to the prefix /usr)
set -uo pipefail
build=$1 unitdir=$2 session=$3
max_exposure=2.0

missing=()
command -v strace >/dev/null 2>&1 || missing+=(strace)
command -v systemd-analyze >/dev/null 2>&1 || missing+=(systemd)
if [ "${#missing[@]}" -gt 0 ] && [ "$(id -u)" -eq 0 ] && command -v apt-get >/dev/null 2>&1; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}" \
    >/dev/null 2>&1
fi
for tool in strace systemd-analyze; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "skipped: $tool is missing (scripts/setup.sh installs it)"
    exit 77
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
if ! strace -D -ff -qq -o "$tmp/probe" true 2>/dev/null; then
  echo "skipped: strace may not trace processes here"
  exit 77
fi
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The unit as a device image gets it.
root=$tmp/root
if ! DESTDIR=$root cmake --install "$build" --prefix /usr >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi
unit_path=/usr/$unitdir/orv-mdm.service
unit=$root$unit_path

# 1. Nothing for verify to say about the unit itself (the image holds none of the units it pulls
#    in: they are the system's).
SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no --recursive-errors=no --root="$root" \
  "$unit_path" >"$tmp/verify.log" 2>&1
verify_rc=$?
if [ "$verify_rc" -ne 0 ] || [ -s "$tmp/verify.log" ]; then
  cat "$tmp/verify.log" >&2
  fail "systemd-analyze verify has remarks on the unit (status $verify_rc)"
fi

# 2. The exposure.
systemd-analyze security --offline=true --no-pager "$unit" >"$tmp/security.log" 2>&1
exposure=$(sed -n 's/.*Overall exposure level for orv-mdm.service: \([0-9.]*\).*/\1/p' \
  "$tmp/security.log")
if [ -z "$exposure" ]; then
  cat "$tmp/security.log" >&2
  fail "systemd-analyze security gave no exposure"
elif ! awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e <= m) }'; then
  grep '✗' "$tmp/security.log" >&2
  fail "exposure $exposure, more than $max_exposure"
else
  echo "exposure: $exposure"
fi

# 3. The filter, resolved into the set of calls it names (an allow or a deny list).
declare -A set=()
mode=
calls_of() { # NAME or @GROUP: its calls, nested groups expanded
  if [[ $1 != @* ]]; then
    echo "$1"
    return
  fi
  local listed entry
  listed=$(systemd-analyze syscall-filter --no-pager "$1" 2>/dev/null) || return 1
  sed 's/^ *//' <<<"$listed" | grep -v -e '^#' -e '^$' | tail -n +2 |
    while read -r entry; do calls_of "$entry"; done
}
apply() { # ADD(1)|TAKE(0) ITEM...
  local add=$1 item call calls
  shift
  for item in "$@"; do
    item=${item%%:*} # a call may carry its own errno
    if ! calls=$(calls_of "$item"); then
      fail "systemd-analyze does not know the group $item"
      continue
    fi
    for call in $calls; do
      if [ "$add" = 1 ]; then set[$call]=1; else unset "set[$call]"; fi
    done
  done
}
while IFS= read -r value; do
  if [ -z "$value" ]; then # an empty assignment starts over
    set=()
    mode=
    continue
  fi
  invert=0
  if [[ $value == '~'* ]]; then
    invert=1
    value=${value#\~}
  fi
  if [ -z "$mode" ]; then
    if [ "$invert" = 1 ]; then mode=deny; else mode=allow; fi
    [ "$mode" = allow ] && apply 1 @default
  fi
  # In an allow list a ~ line takes calls away; in a deny list a plain line does.
  if [ "$mode" = allow ]; then apply $((1 - invert)) $value; else apply "$invert" $value; fi
done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
if [ -z "$mode" ]; then
  fail "the unit has no SystemCallFilter="
fi
permitted() { # CALL
  if [ "$mode" = allow ]; then [ -n "${set[$1]:-}" ]; else [ -z "${set[$1]:-}" ]; fi
}

# 4. The session, each daemon under its own strace (-D: the daemon stays the session's child, so
#    that its signals reach it; -ff: one record per daemon process), unprivileged when this runs
#    as root: the records' folder is writable for the daemon's user. The records are complete
#    once their tracers have closed them.
chmod 0711 "$tmp"
mkdir -m 0777 "$tmp/rec"
if ! "$session" "$(command -v strace)" -D -ff -qq -e trace=all -o "$tmp/rec/calls"; then
  fail "the session did not run through"
fi
for _ in $(seq 100); do
  find /proc/[0-9]*/fd -lname "$tmp/rec/*" 2>/dev/null | grep -q . || break
  sleep 0.1
done
calls=$(cat "$tmp"/rec/calls.* 2>/dev/null | sed -nE 's/^([a-z_][a-z0-9_]*)\(.*/\1/p' | sort -u)
echo "system calls recorded ($(wc -w <<<"$calls")):" $calls

# The record holds what the session did: the serial line locked and set, sockets bound and
# connected, requests received, the log renamed, sleeps slept.
for call in flock ioctl bind connect recvfrom rename clock_nanosleep; do
  grep -qx "$call" <<<"$calls" || fail "no $call in the record: the session was not recorded whole"
done
# ProtectProc=invisible and ProcSubset=pid leave the daemon its own /proc entries only, and
# DevicePolicy=closed the pseudo devices and those of DeviceAllow=: no path the daemon names in a
# call may lie elsewhere in /proc, /sys or /dev (the modem's port is named by its link here).
named=$(cat "$tmp"/rec/calls.* 2>/dev/null |
  sed -nE 's#^[a-z0-9_]+\((AT_FDCWD, )?"((/proc|/sys|/dev)(/[^"]*)?)".*#\2#p' | sort -u)
for path in $named; do
  case $path in
    /proc/self/* | /proc/thread-self/* | /dev/null | /dev/zero | /dev/full | /dev/random | \
      /dev/urandom | /dev/tty | /dev/pwm) ;;
    *) fail "the daemon names $path, which the unit hides or refuses" ;;
  esac
done

outside=()
for call in $calls; do
  permitted "$call" || outside+=("$call")
done
if [ "${#outside[@]}" -gt 0 ]; then
  fail "the daemon makes system calls the unit's SystemCallFilter= refuses: ${outside[*]}"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "unit verified, exposure $exposure, every system call of the session within the filter: OK"
