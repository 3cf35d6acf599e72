#!/usr/bin/env bash
# Builds the fuzzers with clang (build-fuzz) and runs each one: first over the
# saved crash inputs of fuzz/regressions/<target>/, then for a while from the
# seed corpus of fuzz/corpus/<target>/. Exits nonzero when any run fails
# (crash, sanitizer report, leak, timeout, out of memory); the failing input is
# kept under build-fuzz/artifacts/.
# Usage: fuzz/run.sh [seconds per target, default 30]
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-30}"
build=build-fuzz
targets=(fuzz_reply_decode fuzz_ipc_frames)

cmake -S . -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DDS_BUILD_FUZZ=ON -DDS_BUILD_TESTS=OFF
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"

artifacts="$build/artifacts"
mkdir -p "$artifacts"
# New inputs go to a scratch folder: the committed corpus stays small.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

status=0
for target in "${targets[@]}"; do
  fuzzer="$build/fuzz/$target"
  options=(-timeout=30 -rss_limit_mb=2048 "-artifact_prefix=$artifacts/$target-")
  [ -f "fuzz/$target.dict" ] && options+=("-dict=fuzz/$target.dict")
  shopt -s nullglob
  regressions=(fuzz/regressions/"$target"/*)
  shopt -u nullglob
  if [ "${#regressions[@]}" -gt 0 ]; then
    echo "== $target: ${#regressions[@]} saved inputs"
    if ! "$fuzzer" "${options[@]}" "${regressions[@]}"; then
      echo "FAILED: $target on a saved input of fuzz/regressions/$target/" >&2
      status=1
      continue
    fi
  fi
  echo "== $target: ${seconds} s from fuzz/corpus/$target"
  mkdir -p "$scratch/$target"
  if ! "$fuzzer" "${options[@]}" -max_total_time="$seconds" -print_final_stats=1 \
      "$scratch/$target" "fuzz/corpus/$target"; then
    echo "FAILED: $target found a failing input, kept in $artifacts/" >&2
    status=1
  fi
done
exit "$status"
