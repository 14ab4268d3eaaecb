#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when any is missing.
# As root it runs apt-get (update only when something is missing); as another user it names the
# missing packages and the command to install them, and leaves the rest to the build.
set -euo pipefail

packages=(
  cmake g++ clang make pkg-config   # compilers and build
  clang-14 libclang-rt-14-dev       # fuzzing: clang 14 and its libFuzzer and sanitizer runtimes
  libsqlite3-dev sqlite3            # parameter store and device database
  libgtest-dev libgmock-dev         # tests
  libtomlplusplus-dev               # virtual modem profiles (development machine only)
  libbenchmark-dev                  # benchmarks
  python3                           # data generators and end-to-end helpers
  strace systemd                    # the unit's system-call filter against the daemon's calls
)

if ! command -v dpkg >/dev/null 2>&1; then
  echo "setup: not a Debian system; make sure these are installed: ${packages[*]}" >&2
  exit 0
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg -s "$p" 2>/dev/null | grep -q '^Status: install ok installed'; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: all packages present"
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}" >&2
  echo "setup: install them as root: apt-get install -y ${missing[*]}" >&2
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update
apt-get install -y "${missing[@]}"
