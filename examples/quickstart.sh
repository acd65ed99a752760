#!/usr/bin/env bash
# From a fresh checkout to a session with a virtual supply: installs lsof
# where it is missing, builds and installs the package (driver, qm4410-sim
# and the qm4410 command), then runs examples/session.py against qm4410-sim.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lsof >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lsof >/dev/null
fi
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore .

qm4410-sim --load 8 -- python3 examples/session.py
