#!/usr/bin/env bash
# The daemon at work, without a device: builds what is missing, starts the virtual modem and the
# daemon in a temporary run folder, sends a few requests, shows what was published, and stops
# everything at the end.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_BUILD_DIR:-$here/build}

bash "$here/scripts/setup.sh"
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j2 --target orv_mdm orv_modem_sim orv_mdm_send orv_nvram orv_mc_listen \
    orv_factory orv_device_db >/dev/null

demo=$(mktemp -d /tmp/orv_demo_XXXXXX)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$demo"
}
trap cleanup EXIT

export ORV_RUN_DIR=$demo/run ORV_MODEM=$demo/modem ORV_NVRAM=$demo/nvram.db \
    ORV_FACTORY_DIR=$demo/factory ORV_LOG_DIR=$demo/log ORV_DEVICE_DB=$build/device.db \
    ORV_PWM_SIM=$demo/battery ORV_AT_WAIT_SCALE=0.1  # AT waits a tenth: 1 s instead of 10 s
mkdir -p "$ORV_RUN_DIR"

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
    local until=$((SECONDS + $1)); shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $until ] || { echo "timed out waiting for: $*" >&2; return 1; }
        sleep 0.05
    done
}

step "Factory settings: language follows the SIM, version record"
"$build/orv_factory" language on
"$build/orv_factory" version --inner "ORV-1.4.2" --model "ORV MiFi 4G" --hardware "PCB-C" \
    --manufacturer "Orv Devices" --integrated "ORV-1.4.2-B17"
"$build/orv_factory" show
printf 'present=1\nlevel=3\npercent=57\ncharging=1\n' >"$ORV_PWM_SIM"

step "Virtual modem on a pty: a MediaTek-based module like the device's, its SIM PIN-locked"
"$build/orv_modem_sim" --pty --link "$ORV_MODEM" --journal "$demo/journal" \
    --control "$demo/modem.ctl" --profile "$here/tools/modem_sim/profiles/mediatek.toml" \
    >"$demo/modem.out" 2>&1 &
pids+=($!)
wait_for 10 test -e "$ORV_MODEM"
cat "$demo/modem.out"

step "Controller notifications (printed as they arrive)"
"$build/orv_mc_listen" &
pids+=($!)
wait_for 10 test -S "$ORV_RUN_DIR/orv_mc_path"

step "Daemon"
"$build/orv_mdm" >"$demo/daemon.out" 2>&1 &
pids+=($!)
wait_for 10 test -S "$ORV_RUN_DIR/orv_mdm_path"
wait_for 10 grep -q 'AT+CMEE=2' "$demo/journal"
echo "orv_mdm is up; the modem received:"
sed 's/^/    /' "$demo/journal"

step "Requests"
send() { echo "\$ orv_mdm_send $*"; "$build/orv_mdm_send" "$@"; }
send TEST_RPC_MSG
send GET_IMEI --wait-store imei
send GET_PIN_STATUS --wait-store puknumber
send VERIFY_PIN --pin 1122 --wait-store pin_code
send GET_ICCID --wait-store sim_iccid
send GET_IMSI --wait-store sim_imsi
send GET_MSISDN --wait-store msisdn
send GET_SIM_SPN --wait-store spn_name_data
send APN_GET_SIM_INFO
send GET_OVN --wait-store integrate_version
send GET_PCB --wait-store hardware_version
echo "(the first battery request after start waits 7 s for the driver to settle)"
send GET_BATT_INFO --wait-store battery_charging --timeout 20
send PIN_MODE --op query --wait-store pin_status

step "A modem as real ones are: reports inside answers, CR line ends, noise, a late answer"
ctl() {
    echo "\$ orv_modem_sim ctl modem.ctl $(printf '%q ' "$@")"
    "$build/orv_modem_sim" ctl "$demo/modem.ctl" "$@" >/dev/null
}
ctl script AT+CGSN report before '+CREG: 1' report inside RING 1
ctl lineend cr
ctl noise 3
send GET_IMEI --wait-store imei
ctl lineend crlf
ctl noise 0
echo "(the IMSI's wait is 1 s: its answer comes 0.2 s after it ran out; the IMEI request waits for"
echo " it and drops it, so the IMSI is never published as the IMEI)"
ctl script AT+CIMI delay 1200 1
"$build/orv_mdm_send" GET_IMSI
send GET_IMEI --wait-store imei
grep -c 'aucDataBuf is TIMEOUT' "$ORV_LOG_DIR/orv_mdm.log" | sed 's/^/timeouts logged: /'

step "The device at a glance (orv_mdm_send status: the read-only requests, served)"
"$build/orv_mdm_send" status

step "Parameter store, as another process sees it"
"$build/orv_nvram" list

step "Last lines of the daemon's log ($ORV_LOG_DIR/orv_mdm.log)"
tail -n 12 "$ORV_LOG_DIR/orv_mdm.log"

step "Battery indicator calls ($ORV_RUN_DIR/battery_led)"
cat "$ORV_RUN_DIR/battery_led"
echo
echo "Done; everything is stopped and the run folder removed."
