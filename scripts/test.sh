#!/usr/bin/env bash
# Installs what the tests need, builds and installs the package as a user
# would (a regular install: the package's __init__ is an extension), and
# runs the whole test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

if ! command -v lsof >/dev/null 2>&1; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq lsof >/dev/null
fi

python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    pyserial pytest pytest-xdist hypothesis mypy types-pyserial matplotlib
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --force-reinstall --no-deps .

# Run from tests/ so the source folder python/ can never shadow the install.
cd tests
# The stub must describe what the installed module really has, and the
# package's Python modules must type-check as installed.
python3 -m mypy.stubtest --allowlist ../scripts/stubtest-allowlist qm4410
python3 -m mypy --strict -p qm4410.workflows -p qm4410.virtual_supply -p pytest_qm4410
# The benchmark's own checks (nothing timed) run too: its plain-Python
# reference must keep doing what the driver does.
python3 -m pytest -q . ../bench "$@"
