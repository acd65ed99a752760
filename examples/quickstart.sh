#!/usr/bin/env bash
# From a fresh checkout to a session with a virtual supply: makes a virtual
# environment of its own (.venv in the checkout, or $QM4410_VENV), builds and
# installs the package there (driver, qm4410-sim and the qm4410 command),
# then runs examples/session.py, which starts a virtual supply of its own
# (not the device $QM4410_PORT may name: it is emptied). A virtual environment,
# because Debian's system Python refuses `pip install` outside one. Where
# lsof or Python's venv module is missing, apt-get installs it.
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${QM4410_VENV:-.venv}

missing=()
command -v lsof >/dev/null 2>&1 || missing+=(lsof)
if [ ! -x "$venv/bin/python" ] && ! python3 -m venv "$venv" >/dev/null 2>&1; then
    # Debian and Ubuntu ship the venv module apart from Python itself.
    rm -rf "$venv"
    missing+=(python3-venv)
fi
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"

"$venv/bin/python" -m pip install --quiet --disable-pip-version-check .
QM4410_PORT= "$venv/bin/python" examples/session.py
echo "installed in $venv; to use it: . $venv/bin/activate"
