#!/usr/bin/env bash
# Holds the hand-written man pages against the programs:
#   - every --option a tool's --help names (its commands' --help too) is in its man page, and
#     every --option the man page names is in that --help;
#   - the daemon's page, orv_mdm.8, describes in ENVIRONMENT exactly the ORV_ variables the
#     daemon reads (platform/orv_paths.h, daemon/);
#   - groff finds nothing to warn about in any page (when groff is there).
# The development tools' pages are checked when those tools are built.
# Usage: check_man.sh SOURCE BUILD
set -uo pipefail
src=$1 build=$2
man=$src/man
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

# The --options of a man page: roff's \- read as -, font changes dropped, comments left out.
man_options() {
  grep -v '^\.\\"' "$1" | sed 's/\\-/-/g; s/\\f[BIRP]//g' | grep -oE -- '--[a-z][a-z0-9-]*' | sort -u
}
# The --options the output of the commands names ("TOOL ARGS" each).
help_options() {
  local command
  for command in "$@"; do
    # shellcheck disable=SC2086 # the words of the command
    "$build"/$command --help 2>&1 || echo "FAILED: $command --help"
  done | grep -oE -- '--[a-z][a-z0-9-]*|FAILED: .*' | sort -u
}

# PAGE COMMAND...: the page against the --help of each command.
check_page() {
  local page=$man/$1
  shift
  if [ ! -f "$page" ]; then
    fail "no man page $page"
    return
  fi
  help_options "$@" >"$tmp/help"
  if grep '^FAILED' "$tmp/help" >&2; then
    fail "$page: the program did not answer --help"
    return
  fi
  man_options "$page" >"$tmp/man"
  if ! diff -u "$tmp/help" "$tmp/man" >"$tmp/diff"; then
    cat "$tmp/diff" >&2
    fail "$(basename "$page"): options differ from --help (- only in --help, + only in the page)"
  fi
}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

check_page orv_mdm_send.1 orv_mdm_send
check_page orv_nvram.1 orv_nvram
check_page orv_mc_listen.1 orv_mc_listen
check_page orv_factory.1 orv_factory
pages=(orv_mdm.8 orv_mdm_send.1 orv_nvram.1 orv_mc_listen.1 orv_factory.1)
if [ -x "$build/orv_trace" ]; then
  check_page orv_trace.1 orv_trace "orv_trace show" "orv_trace redact" "orv_trace replay"
  pages+=(orv_trace.1)
fi
if [ -x "$build/orv_modem_sim" ]; then
  check_page orv_modem_sim.1 orv_modem_sim "orv_modem_sim ctl"
  pages+=(orv_modem_sim.1)
fi

# The daemon's environment: the variables its code reads, and those its page describes.
grep -ohE '"ORV_[A-Z_]+"' "$src/platform/orv_paths.h" "$src"/daemon/*.cpp | tr -d '"' | sort -u \
  >"$tmp/read"
sed -n '/^\.SH ENVIRONMENT/,/^\.SH /p' "$man/orv_mdm.8" | sed -n 's/^\.B \(ORV_[A-Z_]*\)$/\1/p' |
  sort -u >"$tmp/described"
if [ ! -s "$tmp/read" ] || ! diff -u "$tmp/read" "$tmp/described" >"$tmp/diff"; then
  cat "$tmp/diff" >&2
  fail "orv_mdm.8: ENVIRONMENT differs from the variables the daemon reads (- read, + described)"
fi

if command -v groff >/dev/null 2>&1; then
  for page in "${pages[@]}"; do
    warnings=$(groff -man -ww -z "$man/$page" 2>&1)
    [ -z "$warnings" ] || fail "groff warns about $page: $warnings"
  done
else
  echo "note: groff not found; pages not formatted"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "man pages ${pages[*]}: options as in --help, environment as the daemon reads it: OK"
