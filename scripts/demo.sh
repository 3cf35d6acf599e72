#!/usr/bin/env bash
# Sets the machine up, builds the reference data service and installs the
# Python module, then runs the demo: the service on the sample installation,
# queried from Python (log in, cameras, a camera's recordings, a snapshot).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -G Ninja >/dev/null
cmake --build build -j "$(nproc)" --target dataservice-server
python3 -m pip install -q --root-user-action=ignore .
python3 examples/demo.py build/server/dataservice-server examples/installation.json
