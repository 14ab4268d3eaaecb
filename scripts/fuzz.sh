#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang in build-fuzz/ (ASan and UBSan throughout) and
# runs each for a bounded time on its seed corpus and regression inputs. Fails when any target
# crashes or breaks one of its checks; the input that did it is left in
# build-fuzz/fuzz-work/<target>/artifacts/ (keep it in fuzz/regressions/<target>/ once fixed).
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET] [TARGET...]     # default: 20 s, every target
#
# New inputs found go to build-fuzz/fuzz-work/<target>/corpus/, never into the repository.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
  targets=(request_path at_channel sim_files convert)
fi
build="${ORV_FUZZ_BUILD:-build-fuzz}"

cc=clang-14
cxx=clang++-14
if ! command -v "$cxx" >/dev/null 2>&1; then
  cc=clang
  cxx=clang++
fi

CC="$cc" CXX="$cxx" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORV_FUZZ=ON \
  -DORV_BUILD_TESTS=OFF -DORV_BUILD_DEV_TOOLS=OFF >/dev/null
cmake --build "$build" -j2 --target orv_fuzz_targets

# Longest input per target: the AT exchange goes past the 10240-byte answer record.
max_len() {
  case "$1" in
    request_path | convert) echo 4096 ;;
    *) echo 2048 ;;
  esac
}

export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
failed=()
for t in "${targets[@]}"; do
  work="$build/fuzz-work/$t"
  mkdir -p "$work/corpus" "$work/artifacts"
  echo "fuzz: $t for ${seconds} s"
  status=0
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="$(max_len "$t")" -dict=fuzz/at.dict -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" \
    "$work/corpus" "fuzz/corpus/$t" "fuzz/regressions/$t" >"$work/log" 2>&1 || status=$?
  # "#123456 DONE cov: 800 ft: 2000 ..." and the executions of the run.
  grep -E '^#[0-9]+[[:space:]]+DONE' "$work/log" | tail -1 || true
  grep -E '^stat::number_of_executed_units' "$work/log" || true
  if [ "$status" -ne 0 ]; then
    echo "fuzz: $t FAILED (status $status); its log: $work/log" >&2
    grep -E 'ERROR|SUMMARY|fuzz check failed|runtime error|Test unit written' "$work/log" >&2 || true
    failed+=("$t")
  fi
done

if [ "${#failed[@]}" -ne 0 ]; then
  echo "fuzz: crashes in: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz: no crash in ${#targets[@]} targets"
