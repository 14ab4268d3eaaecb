#!/usr/bin/env bash
# Records the sessions of tests/traces/ anew: for each, the daemon runs with ORV_TRACE against
# the virtual modem in a fault mode, and a few requests are sent. ctest replays every trace there
# (label traces), so a change in what the daemon does shows up as a failing replay; after a
# wanted change, record them again with this script and review the difference.
#
#   scripts/record_traces.sh [NAME...]      # default: every session below
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$here/build}
out=$here/tests/traces
cmake --build "$build" -j2 --target orv_mdm orv_modem_sim orv_mdm_send orv_factory \
    orv_device_db >/dev/null

dir=
pids=()
stop_all() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    pids=()
    [ -z "$dir" ] || rm -rf "$dir"
}
trap stop_all EXIT

wait_for() { # wait_for COMMAND...: until it succeeds, 20 s at most
    local until=$((SECONDS + 20))
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || { echo "timed out waiting for: $*" >&2; return 1; }
        sleep 0.02
    done
}
idles() { grep -c '"k":"idle"' "$trace" || true; }
idles_past() { [ "$(idles)" -gt "$1" ]; }

# begin NAME [modem options...]: a fresh folder, the virtual modem, the daemon with its trace.
begin() {
    name=$1
    shift
    dir=$(mktemp -d /tmp/orv_record_XXXXXX)
    trace=$out/$name.jsonl
    rm -f "$trace"
    export ORV_RUN_DIR=$dir/run ORV_MODEM=$dir/modem ORV_NVRAM=$dir/nvram.db \
        ORV_FACTORY_DIR=$dir/factory ORV_LOG_DIR=$dir/log ORV_DEVICE_DB=$build/device.db \
        ORV_PWM_SIM=$dir/battery ORV_AT_WAIT_SCALE=0.05
    mkdir -p "$ORV_RUN_DIR"
    "$build/orv_factory" language on >/dev/null
    modem "$@"
    ORV_TRACE=$trace "$build/orv_mdm" >/dev/null 2>&1 &
    pids+=($!)
    wait_for idles_past 0
}
modem() {
    "$build/orv_modem_sim" --pty --link "$ORV_MODEM" --control "$dir/modem.ctl" "$@" \
        >>"$dir/modem.out" 2>&1 &
    modem_pid=$!
    pids+=($modem_pid)
    wait_for test -e "$ORV_MODEM"
}
ctl() { "$build/orv_modem_sim" ctl "$dir/modem.ctl" "$@" >/dev/null; }
# send REQUEST [payload options]: one request, then until the daemon waits again.
send() {
    local before
    before=$(idles)
    "$build/orv_mdm_send" "$@" >/dev/null
    wait_for idles_past "$before"
}

locked=$here/tools/modem_sim/profiles/locked.toml

# A PIN entered wrong until the SIM asks for its PUK, then unblocked with the PUK.
record_pin_to_puk() {
    begin pin_to_puk --profile "$locked"
    send get_pin_status
    for _ in 1 2 3; do send verify_pin --pin 1111; done
    send get_pin_status
    send pin_puk_times
    send verify_pin --puk 87654321 --new-pin 4321
    send get_pin_status
}

# A SIM that the device's network lock refuses: its attempts, a wrong key, the right one.
record_network_unlock() {
    begin network_unlock --profile "$locked" --sim second
    send get_pin_status  # the new card is busy at first
    send get_pin_status
    send net_unlock_times
    send net_unlock --code 12345678
    send net_unlock --code 11112222
    send get_pin_status
}

# A new SIM from another country: its ICCID is new, the language follows it.
record_sim_swap() {
    local profile
    profile=$(mktemp /tmp/orv_swap_XXXXXX.toml)
    printf '%s\n' 'inserted = "first"' '[sim.first]' 'iccid = "8944123456789012345"' \
        '[sim.second]' 'iccid = "8933150123456789012"' 'imsi = "208150123456789"' \
        'languages = ["fr"]' 'mnc_digits = 3' >"$profile"
    begin sim_swap --profile "$profile"
    rm -f "$profile"
    send get_iccid
    send get_imsi
    ctl swap second
    send get_iccid
    send get_imsi
    send apn_get_sim_info
}

# Unsolicited reports before, inside and after answers, a message report whose data line reads
# OK, and a report on its own between requests.
record_unsolicited() {
    begin unsolicited
    ctl script AT+CGSN report before '+CREG: 1' report inside RING report after '+CGEV: ME PDN ACT 1' 1
    send get_imei
    ctl script AT+CIMI report before '+CMT: ,24\r\nOK' 1
    send get_imsi
    ctl urc '+CSQ: 20,99'
    sleep 0.1
    send get_pin_status
}

# An answer that comes after the daemon gave up on it: the next command waits for it, and it
# never passes for that command's answer.
record_late_answer() {
    begin late_answer
    ctl script AT+CIMI delay 700 1
    send get_imsi
    send get_imei
    send get_imsi
}

# The modem drops its line in the middle of an answer, then is gone for a while and returns.
# While it is gone the battery, which needs no modem, is read four times, each from other driver
# readings: a whole reading (the first after start waits the driver's 7 s), one without its
# charging state (so that nothing is published), no battery, the driver missing.
record_modem_gone() {
    begin modem_gone
    send get_imei
    ctl script 'AT+CRSM=*' hangup 1
    send get_iccid
    send get_iccid
    kill "$modem_pid"
    wait "$modem_pid" 2>/dev/null || true
    send get_imsi
    printf '%s\n' present=1 level=4 percent=87 charging=1 >"$ORV_PWM_SIM"
    send get_batt_info
    printf '%s\n' present=1 level=2 percent=35 >"$ORV_PWM_SIM"
    send get_batt_info
    printf '%s\n' present=0 >"$ORV_PWM_SIM"
    send get_batt_info
    rm "$ORV_PWM_SIM"
    send get_batt_info
    modem
    send get_imsi
    send get_imei
}

sessions=("$@")
[ ${#sessions[@]} -gt 0 ] || sessions=(pin_to_puk network_unlock sim_swap unsolicited late_answer
    modem_gone)
for s in "${sessions[@]}"; do
    "record_$s"
    stop_all
    echo "recorded $out/$s.jsonl ($(wc -l <"$out/$s.jsonl") records)"
done
