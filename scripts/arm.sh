#!/usr/bin/env bash
# Cross-builds the daemon, the device tools and the unit and platform tests for the device's
# 32-bit ARM processor in build-arm/, runs those tests under qemu-user, runs the ARM daemon and
# tools under qemu against the virtual modem next to the host daemon (scripts/arm_smoke.sh), and
# prints the size of the stripped ARM programs. See docs/embedded.md.
#
# What it needs and installs when missing (as root, like scripts/setup.sh):
#   g++-arm-linux-gnueabihf  the cross compiler with the target's C and C++ runtime
#   qemu-user                qemu-arm, which runs the target's programs on this machine
#   googletest               GoogleTest's sources, compiled for the target inside the build
# and Debian's armhf SQLite packages (libsqlite3-dev, libsqlite3-0), downloaded with apt into
# ~/.cache/orv-armhf and unpacked into build-arm/deps; nothing of the target's is installed on
# the machine.
# As another user with something missing it says what and stops without failing.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${ORV_ARM_BUILD_DIR:-$here/build-arm}
triple=arm-linux-gnueabihf
deps=$build/deps

packages=(cmake make pkg-config g++-"$triple" qemu-user googletest)
missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done
if [ "${#missing[@]}" -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then
    echo "arm: SKIPPED: missing packages: ${missing[*]}" >&2
    echo "arm: install them as root: apt-get install -y --no-install-recommends ${missing[*]}" >&2
    exit 0
  fi
  echo "arm: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # An index that fails to download (a mirror in sync) does not stop the install.
  apt-get update || echo "arm: apt-get update reported errors; installing from what it has" >&2
  # Without recommends: qemu-user-binfmt would register qemu with the kernel for every ARM
  # program on the machine; this script calls qemu-arm explicitly instead.
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# The target's SQLite: Debian's armhf packages, fetched with a private apt state (armhf lists in
# build-arm/apt) so that the machine's own apt configuration and package set stay as they are.
# The .deb files are kept in ORV_ARM_CACHE, so a new build folder needs no download.
cache=${ORV_ARM_CACHE:-${XDG_CACHE_HOME:-${HOME:-$build}/.cache}/orv-armhf}
have_debs() { compgen -G "$cache/libsqlite3-dev_*_armhf.deb" >/dev/null &&
  compgen -G "$cache/libsqlite3-0_*_armhf.deb" >/dev/null; }
if ! have_debs; then
  echo "arm: fetching the armhf SQLite packages into $cache"
  apt_dir=$build/apt
  rm -rf "$apt_dir"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$cache"
  touch "$apt_dir/status"
  apt_opts=(-o APT::Architecture=armhf -o "APT::Architectures::=armhf"
            -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
            -o "Dir::State::status=$apt_dir/status" -o Debug::NoLocking=1
            -o APT::Sandbox::User=root)
  apt-get "${apt_opts[@]}" update -qq ||
    echo "arm: apt-get update (armhf) reported errors; fetching from what it has" >&2
  (cd "$cache" && apt-get "${apt_opts[@]}" download libsqlite3-dev libsqlite3-0)
  rm -rf "$apt_dir"
fi
if [ ! -e "$deps/usr/lib/$triple/libsqlite3.so" ]; then
  rm -rf "$deps"
  mkdir -p "$deps"
  for deb in "$cache"/libsqlite3-dev_*_armhf.deb "$cache"/libsqlite3-0_*_armhf.deb; do
    dpkg-deb -x "$deb" "$deps"
  done
  test -e "$deps/usr/lib/$triple/libsqlite3.so"
fi

cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_TOOLCHAIN_FILE="$here/cmake/$triple.cmake" -DORV_ARM_DEPS="$deps" \
  -DORV_BUILD_DEV_TOOLS=OFF
programs=(orv_mdm orv_mdm_send orv_nvram orv_mc_listen orv_factory)
cmake --build "$build" -j2 --target "${programs[@]}" orv_device_db orv_unit_tests \
  orv_platform_tests

# The unit and platform tests, each test case a qemu-arm process (the toolchain file makes
# qemu-arm the emulator that test discovery and ctest use).
ctest --test-dir "$build" -L 'unit|platform' --output-on-failure -j2

# The whole ARM daemon and its tools under qemu against the virtual modem, compared with the host
# daemon (scripts/arm_smoke.sh); needs the host build with the virtual modem (scripts/test.sh
# builds it first).
host_build=${ORV_HOST_BUILD_DIR:-$here/build}
if [ -x "$host_build/orv_modem_sim" ] && [ -x "$host_build/orv_mdm" ] &&
  [ -x "$host_build/orv_mc_listen" ]; then
  bash "$here/scripts/arm_smoke.sh" "$build" "$host_build"
else
  echo "arm: no host build with the virtual modem in $host_build; ARM daemon run left out"
fi

# The device's install tree, stripped as the firmware image carries it (the target's strip;
# the build tree's RUNPATH to build-arm/deps is dropped on install), and what each program takes.
stage=$build/stage
rm -rf "$stage"
cmake --install "$build" --prefix "$stage" --strip >/dev/null
echo "arm: stripped sizes in $stage ($triple, $(sed -n 's/^CMAKE_BUILD_TYPE:[A-Z]*=//p' \
  "$build/CMakeCache.txt"))"
for f in "$stage"/sbin/orv_mdm "$stage"/bin/*; do
  printf '  %-22s %8d bytes\n' "${f#"$stage"/}" "$(stat -c %s "$f")"
done
