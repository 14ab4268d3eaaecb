#!/usr/bin/env bash
# The ARM daemon at work under qemu-user, side by side with the host daemon. Each runs against
# its own virtual modem (the host program on a pty) with the same factory items; the same
# requests go to each, sent by the tool of the daemon's architecture; the host's controller
# listener receives the notifications of both. The parameter store each daemon leaves behind
# (read by the tool of its architecture) and the notifications must be identical: a difference is
# a fault of the 32-bit ARM build (type sizes, char signedness, layouts on the wire) that the unit
# tests did not catch.
# Usage: arm_smoke.sh ARM_BUILD HOST_BUILD
set -euo pipefail
arm=$1 host=$2
qemu=(qemu-arm -L /usr/arm-linux-gnueabihf)

tmp=$(mktemp -d /tmp/orv_arm_smoke_XXXXXX)
pids=()
stop_all() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  pids=()
}
trap 'stop_all; rm -rf "$tmp"' EXIT

wait_for() { # wait_for SECONDS COMMAND...: until the command succeeds
  local until=$((SECONDS + $1))
  shift
  until "$@" >/dev/null 2>&1; do
    if [ "$SECONDS" -ge "$until" ]; then
      echo "arm smoke: timed out waiting for: $*" >&2
      return 1
    fi
    sleep 0.05
  done
}

# Requests in order; each with --wait-store returns once the daemon has published its answer,
# so the last one also marks the end of the ones before it (the daemon serves them in order).
requests=(
  "TEST_RPC_MSG"
  "GET_IMEI --wait-store imei"
  "GET_PIN_STATUS --wait-store puknumber"
  "GET_ICCID --wait-store sim_iccid"
  "GET_IMSI --wait-store sim_imsi"
  "GET_MSISDN --wait-store msisdn"
  "GET_SIM_SPN --wait-store spn_name_data"
  "APN_GET_SIM_INFO"
  "GET_OVN --wait-store integrate_version"
  "GET_PCB --wait-store hardware_version"
  "VERIFY_PIN --pin 0000 --wait-store pin_puk_at_wait"
  "PIN_MODE --op query --wait-store pin_status"
)

# session NAME BIN_DIR [RUNNER...]: one daemon session; programs of BIN_DIR run through RUNNER.
session() {
  local name=$1 bin=$2
  shift 2
  local run=("$@") dir=$tmp/$name
  mkdir -p "$dir/run" "$dir/factory"
  export ORV_RUN_DIR=$dir/run ORV_MODEM=$dir/modem ORV_NVRAM=$dir/nvram.db \
    ORV_FACTORY_DIR=$dir/factory ORV_LOG_DIR=$dir/log ORV_DEVICE_DB=$bin/device.db \
    ORV_PWM_SIM=$dir/battery
  "${run[@]}" "$bin/orv_factory" language on >/dev/null
  "${run[@]}" "$bin/orv_factory" version --inner "ORV-1.4.2" --model "ORV MiFi 4G" \
    --hardware "PCB-C" --manufacturer "Orv Devices" --integrated "ORV-1.4.2-B17" >/dev/null

  "$host/orv_modem_sim" --pty --link "$dir/modem" >"$dir/modem.out" 2>&1 &
  pids+=($!)
  wait_for 10 test -e "$dir/modem"
  "$host/orv_mc_listen" >"$dir/notifications" 2>&1 &
  pids+=($!)
  wait_for 10 test -S "$dir/run/orv_mc_path"
  "${run[@]}" "$bin/orv_mdm" >"$dir/daemon.out" 2>&1 &
  pids+=($!)
  wait_for 30 test -S "$dir/run/orv_mdm_path"

  local r
  for r in "${requests[@]}"; do
    # shellcheck disable=SC2086 # a request is its words
    if ! "${run[@]}" "$bin/orv_mdm_send" $r >>"$dir/send.out" 2>&1; then
      echo "arm smoke: $name: orv_mdm_send $r failed:" >&2
      tail -5 "$dir/send.out" >&2
      return 1
    fi
  done
  sleep 0.3 # the listener prints what has arrived
  "${run[@]}" "$bin/orv_nvram" --db "$dir/nvram.db" list >"$dir/store"
  stop_all
}

session host "$host"
session arm "$arm" "${qemu[@]}"

status=0
for what in store notifications; do
  if ! diff -u "$tmp/host/$what" "$tmp/arm/$what" >"$tmp/$what.diff"; then
    echo "arm smoke: the ARM daemon's $what differ from the host daemon's (- host, + arm):" >&2
    cat "$tmp/$what.diff" >&2
    status=1
  fi
done
if [ "$(wc -l <"$tmp/host/store")" -lt 10 ] || [ ! -s "$tmp/host/notifications" ]; then
  echo "arm smoke: too little published to compare:" >&2
  cat "$tmp/host/store" "$tmp/host/notifications" >&2
  status=1
fi
if [ "$status" -eq 0 ]; then
  echo "arm smoke: ARM daemon under qemu and host daemon agree:" \
    "$(wc -l <"$tmp/arm/store") store values, $(wc -l <"$tmp/arm/notifications") notifications"
fi
exit "$status"
