#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ (release with debug information) and
# runs every test, then a short fuzzing run. Exits non-zero when either fails.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2

status=0
ctest --test-dir build --output-on-failure -j2 || status=$?

# Fuzzing: builds the libFuzzer targets with clang in build-fuzz/ and runs each for 15 s on its
# corpus and regression inputs (about 2.5 minutes with the build); any crash fails the run.
bash scripts/fuzz.sh 15 || status=$?
exit "$status"
