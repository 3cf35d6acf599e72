#!/usr/bin/env bash
# Sets the machine up, builds the sample data service and installs the Python
# module, then runs the demo: every action asked from Python over loopback.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target dataservice_test_server
python3 -m pip install -q --root-user-action=ignore .
python3 examples/demo.py build/tests/host/dataservice_test_server
