#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ (release with debug information) and
# runs every test, then the ARM cross build and its tests under qemu. Exits non-zero when any
# of them fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

status=0
ctest --test-dir build --output-on-failure -j2 || status=$?

# The device's 32-bit ARM build: cross-builds the daemon, the device tools and the unit and
# platform tests in build-arm/ and runs those tests under qemu-user (scripts/arm.sh, which
# installs the cross compiler and qemu when missing; see docs/embedded.md).
# ORV_SKIP_ARM=1 leaves this step out.
if [ "${ORV_SKIP_ARM:-0}" != 1 ]; then
  bash scripts/arm.sh || status=1
fi
exit "$status"
