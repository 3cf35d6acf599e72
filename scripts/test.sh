#!/usr/bin/env bash
# Sets the machine up, builds everything, runs the C++ tests (CTest) and the
# Python tests (pytest, against the pip-installed module).
# Usage: scripts/test.sh [--sanitize address|thread]   (C++ tests only)
set -euo pipefail
cd "$(dirname "$0")/.."

sanitize=""
if [ "${1:-}" = "--sanitize" ]; then
  sanitize="${2:?address or thread}"
fi

bash scripts/setup.sh

jobs=$(nproc)
if [ -n "$sanitize" ]; then
  build="build-$sanitize"
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DDS_SANITIZE="$sanitize"
  cmake --build "$build" -j "$jobs"
  export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
  export ASAN_OPTIONS="detect_leaks=1 ${ASAN_OPTIONS:-}"
  export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1 ${UBSAN_OPTIONS:-}"
  # ThreadSanitizer needs the classic address space layout on recent kernels.
  run=()
  [ "$sanitize" = "thread" ] && run=(setarch "$(uname -m)" -R)
  "${run[@]}" ctest --test-dir "$build" --output-on-failure -j "$jobs" --timeout 600
  exit 0
fi

cmake -S . -B build -G Ninja
cmake --build build -j "$jobs"
ctest --test-dir build --output-on-failure -j "$jobs" --timeout 600

if [ -f pyproject.toml ] && [ -d tests/python ]; then
  # The Python tests import the installed module, rebuilt from this tree, and
  # run their end-to-end part against the reference service of the build
  # above on the sample installation.
  python3 -m pip install -q --force-reinstall --no-deps .
  export DS_SERVER="$PWD/build/server/dataservice-server"
  export DS_INSTALLATION="$PWD/examples/installation.json"
  export DS_DEFINITION_FILE="$PWD/codec/ConfigSerializationDef.txt"
  if [ ! -x "$DS_SERVER" ]; then
    echo "test.sh: $DS_SERVER was not built" >&2
    exit 1
  fi
  status=0
  (cd tests/python && python3 -m pytest -q) || status=$?
  if [ "$status" -ne 0 ]; then
    echo "test.sh: the Python tests failed (pytest status $status)" >&2
    exit "$status"
  fi
fi
