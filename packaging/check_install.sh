#!/usr/bin/env bash
# Installs a build into a temporary prefix and checks what lands there:
#   - exactly the expected files, with program and data modes, the completion's links, and no
#     development tool; the programs stripped (with ORV_INSTALL_STRIP);
#   - the device database opens and holds the language table;
#   - the paths the systemd unit and the init script name are the files of this install (they
#     are written for the prefix of each install);
#   - the unit passes `systemd-analyze verify` (when systemd-analyze exists; systemd need not be
#     running) and the init script passes `sh -n` (and `busybox sh -n` when busybox exists) and
#     carries its LSB header;
#   - the local settings file names every setting, all commented out, and a second install keeps
#     the file an administrator edited;
#   - each man page is in the section its .TH names; the completion registers each tool;
#   - the dev component (when the development tools are built): exactly the virtual modem, its
#     profiles, orv_trace, their man pages and completion links, stripped as well.
# Usage: check_install.sh BUILD SBINDIR BINDIR DATADIR UNITDIR SYSUSERSDIR INITDIR UDEVDIR
#                         MANDIR COMPLETIONDIR DEFAULTSDIR LIBEXECDIR STRIP DEVTOOLS
# The folders are relative to the install prefix; STRIP and DEVTOOLS are ON or OFF.
set -uo pipefail
build=$1 sbindir=$2 bindir=$3 datadir=$4 unitdir=$5 sysusersdir=$6 initdir=$7 udevdir=$8
mandir=$9 compdir=${10} defaultsdir=${11} libexecdir=${12} strip=${13} devtools=${14}
src=$(cd "$(dirname "$0")/.." && pwd)
tools="orv_mdm_send orv_nvram orv_mc_listen orv_factory"

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

# FOLDER: its files with their modes and its links with their targets, sorted by path.
listing() {
  (cd "$1" && find . -type f -printf '%m %P\n' -o -type l -printf 'link %P -> %l\n') | sort -k2
}
# The programs of a listing that are not stripped (symbols or debug information left).
unstripped() {
  local mode path
  while read -r mode path _; do
    if [ "$mode" = 755 ] && [ "$(head -c 4 "$1/$path" | tr -d '\0')" = $'\x7fELF' ] &&
      readelf -S "$1/$path" | grep -qE '\.(symtab|debug_info)'; then
      echo "$path"
    fi
  done
}

# 1. The layout: every file with its mode, every link with its target, nothing else.
{
  for p in $tools; do
    echo "755 $bindir/$p"
    echo "644 $mandir/man1/$p.1"
    echo "link $compdir/$p -> orv"
  done
  echo "755 $sbindir/orv_mdm"
  echo "644 $mandir/man8/orv_mdm.8"
  echo "644 $compdir/orv"
  echo "644 $datadir/orv/device.db"
  echo "644 $unitdir/orv-mdm.service"
  echo "644 $sysusersdir/orv.conf"
  echo "755 $initdir/orv-mdm"
  echo "644 $defaultsdir/orv-mdm"
  echo "644 $udevdir/77-orv-modem.rules"
} | sort -k2 >"$tmp/expected"
listing "$root" >"$tmp/actual"
if ! diff -u "$tmp/expected" "$tmp/actual" >"$tmp/layout.diff"; then
  cat "$tmp/layout.diff" >&2
  fail "installed files differ from the expected layout (- expected, + installed)"
fi
if [ "$strip" = ON ]; then
  left=$(unstripped "$root" <"$tmp/actual")
  [ -z "$left" ] || fail "not stripped: $left"
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

# 3. The service files: no name left unfilled, and the paths they name are this install's.
unit=$root/$unitdir/orv-mdm.service
init=$root/$initdir/orv-mdm
for f in "$unit" "$init"; do
  if grep -n '@[A-Z_]*@' "$f" >&2; then fail "$f has names left unfilled"; fi
done
check_path() { # WHAT PATH WANTED
  if [ "$2" != "$3" ]; then fail "$1 names '$2', wanted '$3'"; fi
}
check_path "unit ExecStart" "$(sed -n 's/^ExecStart=//p' "$unit")" "$root/$sbindir/orv_mdm"
check_path "unit ORV_DEVICE_DB" "$(sed -n 's/^Environment=ORV_DEVICE_DB=//p' "$unit")" "$db"
check_path "init script DAEMON" "$(sed -n 's/^DAEMON=//p' "$init")" "$root/$sbindir/orv_mdm"
check_path "init script ORV_DEVICE_DB" "$(sed -n 's/^ORV_DEVICE_DB=//p' "$init")" "$db"

# 4. The unit as systemd reads it (ExecStart must name an existing program: it does).
if command -v systemd-analyze >/dev/null 2>&1; then
  if ! SYSTEMD_LOG_LEVEL=notice systemd-analyze verify --man=no "$unit" >"$tmp/verify.log" 2>&1
  then
    cat "$tmp/verify.log" >&2
    fail "systemd-analyze verify"
  elif grep -i 'orv-mdm' "$tmp/verify.log" >&2; then
    fail "systemd-analyze verify has remarks on the unit"
  fi
else
  echo "note: systemd-analyze not found; unit not verified"
fi

# 5. The init script's syntax for the shells that run it, and its LSB header with the actions
#    an init system calls.
sh -n "$init" || fail "sh -n $init"
if command -v busybox >/dev/null 2>&1; then
  busybox sh -n "$init" || fail "busybox sh -n $init"
fi
header=$(sed -n '/^### BEGIN INIT INFO$/,/^### END INIT INFO$/p' "$init")
for field in "Provides: *orv-mdm" "Required-Start:" "Required-Stop:" "Default-Start: *2 3 4 5" \
  "Default-Stop: *0 1 6" "Short-Description:" "### END INIT INFO"; do
  grep -qE "^(# )?$field" <<<"$header" || fail "init script LSB header: no '$field'"
done
grep -qE '^[[:space:]]*restart \| force-reload\)' "$init" || fail "init script: no force-reload"

# 6. The udev rule: it tells ModemManager to leave the modem alone and names the port, and
#    udevadm verify (systemd 253 and later, when present) finds it well-formed.
rules=$root/$udevdir/77-orv-modem.rules
grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rules" || fail "$rules does not set ID_MM_DEVICE_IGNORE"
grep -q 'SYMLINK+="orv-modem"' "$rules" || fail "$rules does not name the port"
if command -v udevadm >/dev/null 2>&1 && udevadm verify --help >/dev/null 2>&1; then
  udevadm verify "$rules" >&2 || fail "udevadm verify $rules"
fi

# 7. The local settings: every variable the init script and the unit set, and every one the
#    daemon reads, shown commented out with its default; nothing set. A second install keeps
#    the file an administrator edited.
defaults=$root/$defaultsdir/orv-mdm
if grep -n '@[A-Z_]*@' "$defaults" >&2; then fail "$defaults has names left unfilled"; fi
if grep -nvE '^(#.*)?$' "$defaults" >&2; then fail "$defaults sets a value"; fi
{
  sed -n 's/^\([A-Z_]*\)=.*/\1/p' "$init" | grep -vxE 'NAME|DEFAULTS'
  grep -ohE 'ORV_[A-Z_]+' "$init" "$unit" | grep -vx ORV_MDM_DEFAULTS
  grep -ohE '"ORV_[A-Z_]+"' "$src/platform/orv_paths.h" "$src"/daemon/*.cpp | tr -d '"'
} | sort -u >"$tmp/settings"
while read -r name; do
  grep -q "^#$name=" "$defaults" || fail "$defaults does not show $name"
done <"$tmp/settings"
check_path "local settings DAEMON" "$(sed -n 's/^#DAEMON=//p' "$defaults")" "$root/$sbindir/orv_mdm"
echo "ORV_MODEM=/dev/ttyACM0" >>"$defaults"
cmake --install "$build" --prefix "$root" >"$tmp/install2.log" 2>&1 || fail "second install"
grep -qx "ORV_MODEM=/dev/ttyACM0" "$defaults" || fail "a second install replaced $defaults"

# 8. Man pages in the section their .TH names; the completion registers every tool.
for page in "$root/$mandir"/man*/*; do
  name=$(basename "$page") section=$(basename "$(dirname "$page")")
  th=$(sed -n 's/^\.TH \([^ ]*\) \([0-9]\) .*/\1 \2/p' "$page")
  want="$(tr '[:lower:]' '[:upper:]' <<<"${name%.*}") ${section#man}"
  [ "$th" = "$want" ] && [ "${name##*.}" = "${section#man}" ] ||
    fail "man page $section/$name: .TH '$th', wanted '$want'"
done
for p in $tools; do
  bash -c ". '$root/$compdir/$p' && complete -p $p" >/dev/null 2>&1 ||
    fail "the completion does not register $p"
done

# 9. The development tools, only as component dev, and nothing else with them.
if [ "$devtools" = ON ]; then
  dev=$tmp/dev
  if ! cmake --install "$build" --prefix "$dev" --component dev >"$tmp/dev.log" 2>&1; then
    cat "$tmp/dev.log" >&2
    fail "cmake --install --component dev"
  fi
  {
    echo "755 $libexecdir/orv/orv_modem_sim"
    echo "755 $bindir/orv_trace"
    for p in orv_modem_sim orv_trace; do
      echo "644 $mandir/man1/$p.1"
      echo "link $compdir/$p -> orv"
    done
    for f in "$src"/tools/modem_sim/profiles/*; do
      echo "644 $datadir/orv/modem-sim/profiles/$(basename "$f")"
    done
  } | sort -k2 >"$tmp/dev.expected"
  listing "$dev" >"$tmp/dev.actual"
  if ! diff -u "$tmp/dev.expected" "$tmp/dev.actual" >"$tmp/dev.diff"; then
    cat "$tmp/dev.diff" >&2
    fail "the dev component differs from the expected layout (- expected, + installed)"
  fi
  if [ "$strip" = ON ]; then
    left=$(unstripped "$dev" <"$tmp/dev.actual")
    [ -z "$left" ] || fail "dev component, not stripped: $left"
  fi
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install layout, device database, service files, local settings, man pages: OK"
