#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ (release with debug information) and
# runs every test. Exits with the status of ctest.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

status=0
ctest --test-dir build --output-on-failure -j2 || status=$?
exit "$status"
