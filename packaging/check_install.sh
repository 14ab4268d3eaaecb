#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what lands there:
#   - exactly the expected files, with program and data modes, and no development tool;
#   - the device database opens and holds the language table;
#   - the paths the systemd unit and the init script name are the installed files;
#   - the unit passes `systemd-analyze verify` (when systemd-analyze exists; systemd need not be
#     running) and the init script passes `sh -n` (and `busybox sh -n` when busybox exists).
# Usage: check_install.sh BUILD PREFIX SBINDIR BINDIR DATADIR UNITDIR SYSUSERSDIR INITDIR
# PREFIX is the configured install prefix; the folders are relative to it.
set -uo pipefail
build=$1 prefix=$2 sbindir=$3 bindir=$4 datadir=$5 unitdir=$6 sysusersdir=$7 initdir=$8

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
root=$tmp/root
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

if ! cmake --install "$build" --prefix "$root" >"$tmp/install.log" 2>&1; then
  cat "$tmp/install.log" >&2
  echo "FAIL: cmake --install" >&2
  exit 1
fi

# 1. The layout: every file with its mode, nothing else.
{
  for p in orv_mdm_send orv_nvram orv_mc_listen orv_factory; do echo "755 $bindir/$p"; done
  echo "755 $sbindir/orv_mdm"
  echo "644 $datadir/orv/device.db"
  echo "644 $unitdir/orv-mdm.service"
  echo "644 $sysusersdir/orv.conf"
  echo "755 $initdir/orv-mdm"
} | sort -k2 >"$tmp/expected"
(cd "$root" && find . -type f -printf '%m %P\n' -o -type l -printf 'link %P\n') | sort -k2 \
  >"$tmp/actual"
if ! diff -u "$tmp/expected" "$tmp/actual" >"$tmp/layout.diff"; then
  cat "$tmp/layout.diff" >&2
  fail "installed files differ from the expected layout (- expected, + installed)"
fi

# 2. The device database, as the daemon reads it.
db=$root/$datadir/orv/device.db
if [ "$(head -c 15 "$db" 2>/dev/null)" != "SQLite format 3" ]; then
  fail "$db is not an SQLite database"
elif command -v sqlite3 >/dev/null 2>&1; then
  rows=$(sqlite3 -readonly "$db" "SELECT count(*) FROM language WHERE Language <> ''" 2>&1)
  if ! [[ "$rows" =~ ^[0-9]+$ ]] || [ "$rows" -lt 100 ]; then
    fail "device database language table: '$rows' rows"
  fi
fi

# 3. The service files: no name left unfilled, and every installed path they name exists in the
#    install tree (the configured prefix moved to the temporary one).
unit=$root/$unitdir/orv-mdm.service
init=$root/$initdir/orv-mdm
for f in "$unit" "$init"; do
  if grep -n '@[A-Z_]*@' "$f" >&2; then fail "$f has names left unfilled"; fi
done
in_root() { # PATH under the configured prefix -> the same file in the temporary install
  case "$1" in
    "$prefix"/*) echo "$root/${1#"$prefix"/}" ;;
    *) echo "/nonexistent$1" ;;
  esac
}
check_path() { # WHAT PATH KIND(-x|-f)
  local where
  where=$(in_root "$2")
  if [ -z "$2" ] || ! test "$3" "$where"; then fail "$1 names '$2', which the install lacks"; fi
}
exec_start=$(sed -n 's/^ExecStart=//p' "$unit")
check_path "unit ExecStart" "$exec_start" -x
check_path "unit ORV_DEVICE_DB" "$(sed -n 's/^Environment=ORV_DEVICE_DB=//p' "$unit")" -f
check_path "init script DAEMON" "$(sed -n 's/^DAEMON=//p' "$init")" -x
check_path "init script ORV_DEVICE_DB" "$(sed -n 's/^ORV_DEVICE_DB=//p' "$init")" -f

# 4. The unit as systemd reads it. ExecStart must name an existing program, so the check reads
#    a copy that points at the installed one.
if command -v systemd-analyze >/dev/null 2>&1; then
  mkdir -p "$tmp/verify"
  sed "s|^ExecStart=.*|ExecStart=$(in_root "$exec_start")|" "$unit" >"$tmp/verify/orv-mdm.service"
  if ! SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$tmp/verify/orv-mdm.service" \
    >"$tmp/verify.log" 2>&1; then
    cat "$tmp/verify.log" >&2
    fail "systemd-analyze verify"
  elif grep -v '^$' "$tmp/verify.log" | grep -i 'orv-mdm' >&2; then
    fail "systemd-analyze verify has remarks on the unit"
  fi
else
  echo "note: systemd-analyze not found; unit not verified"
fi

# 5. The init script's syntax for the shells that run it.
sh -n "$init" || fail "sh -n $init"
if command -v busybox >/dev/null 2>&1; then
  busybox sh -n "$init" || fail "busybox sh -n $init"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install layout, device database, service files: OK"
