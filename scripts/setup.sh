#!/usr/bin/env bash
# Installs every Debian and Python package that the build, the tests, the
# benchmarks and the demo need. Safe to run any number of times.
set -euo pipefail

DEBIAN_PACKAGES=(
  build-essential
  clang
  libclang-rt-14-dev
  libasio-dev
  libprotobuf-dev
  libprotoc-dev
  protobuf-compiler
  libgtest-dev
  libgmock-dev
  libbenchmark-dev
  libsqlite3-dev
  libsodium-dev
  nlohmann-json3-dev
  pkg-config
)
PYTHON_PACKAGES=(
  "cmake>=3.20"
  ninja
  "scikit-build-core>=0.10"
  "swig==4.3.1"
  pytest
  # The Python benchmarks (bench/python_client_bench.py) compare with these.
  pyzmq
  grpcio
)

missing=()
for package in "${DEBIAN_PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" \
    || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi

python3 -m pip install -q "${PYTHON_PACKAGES[@]}"
