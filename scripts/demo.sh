#!/usr/bin/env bash
# Sets the machine up and installs the package (the client, the reference service and the sample
# installation), then runs the tour: the Pythonic client against the reference service.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
python3 -m pip install -q --root-user-action=ignore .
folder=$(mktemp -d)
python3 examples/tour.py "$folder"
echo "(the snapshot is in $folder)"
