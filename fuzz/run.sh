#!/usr/bin/env bash
# Builds the fuzzers with clang (build-fuzz) and runs each one: first over the
# saved crash inputs of fuzz/regressions/<target>/, then for a while from the
# seed corpus of fuzz/corpus/<target>/. Exits nonzero when any run fails
# (crash, sanitizer report, leak, timeout, out of memory); the failing input is
# kept under build-fuzz/artifacts/.
#
# Usage: fuzz/run.sh [seconds per target, default 30] [--parallel]
#
# CI runs the short form (fuzz/run.sh 30), the targets one after another. A
# long run gives every target its own half hour or more at once, each on one
# process at the lowest priority so that it takes only idle CPU, each writing
# its log (libFuzzer's final lines give inputs executed and coverage) to
# build-fuzz/logs/<target>.log:
#   bash fuzz/run.sh 1800 --parallel
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
parallel="${2:-}"
build=build-fuzz
targets=(fuzz_reply_decode fuzz_serialization_reads fuzz_ipc_frames)
# Both serialization targets read the encoded form, which carries the type and
# tag names of the record table as text.
declare -A dictionary=([fuzz_reply_decode]=fuzz/fuzz_reply_decode.dict
                       [fuzz_serialization_reads]=fuzz/fuzz_reply_decode.dict)

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDS_BUILD_FUZZ=ON -DDS_BUILD_TESTS=OFF
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"

artifacts="$build/artifacts"
mkdir -p "$artifacts" "$build/logs"
# New inputs go to a scratch folder: the committed corpus stays small.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# Runs one target over its saved inputs, then for $seconds from its corpus.
fuzz_target() {
  local target="$1"
  local fuzzer="$build/fuzz/$target"
  local options=(-timeout=30 -rss_limit_mb=2048 "-artifact_prefix=$artifacts/$target-")
  [ -n "${dictionary[$target]:-}" ] && options+=("-dict=${dictionary[$target]}")
  shopt -s nullglob
  local regressions=(fuzz/regressions/"$target"/*)
  shopt -u nullglob
  if [ "${#regressions[@]}" -gt 0 ]; then
    echo "== $target: ${#regressions[@]} saved inputs"
    if ! "${priority[@]}" "$fuzzer" "${options[@]}" "${regressions[@]}"; then
      echo "FAILED: $target on a saved input of fuzz/regressions/$target/" >&2
      return 1
    fi
  fi
  echo "== $target: ${seconds} s from fuzz/corpus/$target"
  mkdir -p "$scratch/$target"
  if ! "${priority[@]}" "$fuzzer" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      "$scratch/$target" "fuzz/corpus/$target"; then
    echo "FAILED: $target found a failing input, kept in $artifacts/" >&2
    return 1
  fi
}

status=0
priority=()
if [ "$parallel" = "--parallel" ]; then
  priority=(nice -n 19)
  pids=()
  for target in "${targets[@]}"; do
    echo "== $target: log in $build/logs/$target.log"
    fuzz_target "$target" > "$build/logs/$target.log" 2>&1 &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || status=1
  done
  for target in "${targets[@]}"; do
    grep -E '^(#[0-9]+[[:space:]]+DONE|FAILED|stat::number_of_executed_units)' \
      "$build/logs/$target.log" | sed "s/^/$target: /" || true
  done
else
  for target in "${targets[@]}"; do
    fuzz_target "$target" || status=1
  done
fi
exit "$status"
