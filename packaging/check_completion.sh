#!/usr/bin/env bash
# The bash completion of the tools, as bash runs it for a command line being completed: request
# names from orv_mdm_send --list, store names from the store (the one --db names, too), options
# from each tool's --help, the commands and values of each tool, the virtual modem's control
# commands from a modem that runs. The tools are the build's, found on the PATH.
# Usage: check_completion.sh COMPLETION BUILD
set -uo pipefail
completion=$1 build=$2
tmp=$(mktemp -d)
modem_pid=
cleanup() {
  if [ -n "$modem_pid" ]; then kill "$modem_pid" 2>/dev/null && wait "$modem_pid" 2>/dev/null; fi
  rm -rf "$tmp"
}
trap cleanup EXIT
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

export PATH=$build:$PATH ORV_NVRAM=$tmp/nvram.db
orv_nvram set imei 356938035643809 && orv_nvram set iccid 8949 &&
  orv_nvram --db "$tmp/other.db" set only_there 1 || exit 1
# shellcheck source=orv.bash-completion
. "$completion" || exit 1

# complete LINE: the words completion offers for LINE (the word being completed is its last,
# empty after a trailing blank), one a line.
complete_line() {
  local line=$1 spec
  read -ra COMP_WORDS <<<"$line"
  [[ $line == *' ' ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  COMP_LINE=$line COMP_POINT=${#line}
  COMPREPLY=()
  spec=$(complete -p "${COMP_WORDS[0]##*/}" 2>/dev/null) || return 1
  spec=${spec#*-F }
  "${spec%% *}" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" \
    2>/dev/null
  printf '%s\n' "${COMPREPLY[@]}"
}

# expect LINE OFFERED [NOT_OFFERED]: each word of OFFERED is offered, none of NOT_OFFERED is.
expect() {
  local line=$1 got w
  got=$(complete_line "$line")
  for w in $2; do
    grep -qxF -- "$w" <<<"$got" || fail "'$line': '$w' not offered (offered: $(echo $got))"
  done
  for w in ${3:-}; do
    ! grep -qxF -- "$w" <<<"$got" || fail "'$line': '$w' offered"
  done
}

expect "orv_mdm_send get_i" "get_imei get_iccid get_imsi" "get_msisdn verify_pin"
expect "orv_mdm_send " "verify_pin net_unlock test_rpc_msg" "--pin"
expect "orv_mdm_send get_imei --wait" "--wait-store" "--pin"
expect "orv_mdm_send get_imei -" "--wait-store --list --version --help"
expect "orv_mdm_send get_imei --wait-store " "imei iccid" "only_there"
expect "orv_mdm_send pin_mode --op " "off on query"
expect "orv_mdm_send get_imei " "--run-dir --timeout" "get_imsi"
expect "$build/orv_mdm_send get_ims" "get_imsi"
expect "orv_nvram " "get set unset list watch" "imei"
expect "orv_nvram get " "imei iccid" "only_there"
expect "orv_nvram --db $tmp/other.db unset " "only_there" "imei"
expect "orv_nvram set i" "imei iccid"
expect "orv_nvram set imei " "" "imei iccid"
expect "orv_nvram -" "--db --hex --count --timeout --help --version"
expect "orv_mc_listen --" "--count --timeout --run-dir --help --version"
expect "orv_factory " "language version show get"
expect "orv_factory language " "on off"
expect "orv_factory version --fill-field " "inner model hardware manufacturer integrated"
expect "orv_factory version --" "--inner --model --fill-field --dir --version"
if [ -x "$build/orv_trace" ]; then
  expect "orv_trace " "show redact replay"
  expect "orv_trace -" "--help --version"
  expect "orv_trace show t.jsonl --" "--id --from --to --help" "--fast"
  expect "orv_trace replay t.jsonl --" "--fast --wait-scale" "--id"
  expect "orv_trace show t.jsonl --id get_ic" "get_iccid"
fi
if [ -x "$build/orv_modem_sim" ]; then
  expect "orv_modem_sim --" "--pty --listen --profile --replay --verbose --version"
  expect "orv_modem_sim " "ctl"
  orv_modem_sim --pty --control "$tmp/ctl" >/dev/null 2>&1 &
  modem_pid=$!
  for _ in $(seq 50); do [ -S "$tmp/ctl" ] && break; sleep 0.1; done
  expect "orv_modem_sim ctl $tmp/ctl s" "script swap state" "quit"
fi

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "completion of the tools: OK"
