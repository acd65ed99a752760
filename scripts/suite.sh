#!/usr/bin/env bash
# The whole test suite on one interpreter, the python3 on PATH: installs what
# the tests need, builds and installs the package as a user would (a regular
# install: the package's __init__ is an extension) and runs every test.
# $QM4410_PACKAGE names what to install (an sdist, say); the source tree by
# default. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

# lsof for the driver's availability check; ser2net for the tests of a
# supply shared over the network (Debian puts it in sbin, which a user's
# PATH may lack; the tests look for it on PATH); chromium for the web
# page's tests, which Playwright drives (it cannot download its own here).
export PATH="$PATH:/usr/local/sbin:/usr/sbin"
missing=()
for program in lsof ser2net chromium; do
    command -v "$program" >/dev/null 2>&1 || missing+=("$program")
done
if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

# The extras of the package's adapters to frameworks and of the server's
# EPICS and web endpoints, as pyproject.toml lists them, so that each is
# tested and type-checked; EPICS clients this project did not write test the
# endpoint: pyepics (with the EPICS client library) and ophyd; Playwright
# drives the web page in Chromium. The frameworks are
# large: QM4410_FRAMEWORKS=0 (scripts/interpreters.sh's choice for the other
# interpreters) leaves them out, their tests skipped, and with them the
# type check of the whole package and the timed server tests, which the run
# on the first interpreter has done.
frameworks=${QM4410_FRAMEWORKS:-1}
extras=()
clients=()
if [ "$frameworks" = 1 ]; then
    extras=(bluesky qcodes openhtf pymeasure epics lxi web)
    clients=(pyepics ophyd playwright)
fi
requirements=$(python3 -c '
import sys, tomllib
with open("pyproject.toml", "rb") as file:
    optional = tomllib.load(file)["project"]["optional-dependencies"]
print(*(requirement for extra in sys.argv[1:] for requirement in optional[extra]), sep="\n")' "${extras[@]}")
mapfile -t extra_requirements < <(printf '%s' "$requirements")
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore \
    pyserial pytest pytest-xdist hypothesis mypy types-pyserial matplotlib pyvisa pyvisa-py "${clients[@]}" \
    "${extra_requirements[@]}"
python3 -m pip install --quiet --disable-pip-version-check --root-user-action=ignore --force-reinstall --no-deps \
    "${QM4410_PACKAGE:-.}"

echo "suite.sh: $(python3 -c 'import platform; print(platform.python_implementation(), platform.python_version())')"
# Run from tests/ so the source folder python/ can never shadow the install.
cd tests
# The stub must describe what the installed module really has, and the
# package's Python modules must type-check as installed.
allowlists=(--allowlist ../scripts/stubtest-allowlist)
if [ "$frameworks" != 1 ]; then
    allowlists+=(--allowlist ../scripts/stubtest-allowlist-frameworks --ignore-unused-allowlist)
fi
python3 -m mypy.stubtest --mypy-config-file ../pyproject.toml "${allowlists[@]}" qm4410
# The whole package is type-checked as installed.
if [ "$frameworks" = 1 ]; then python3 -m mypy --strict -p qm4410 -p pytest_qm4410; fi
# The benchmark's own checks (nothing timed) run too: its plain-Python
# reference must keep doing what the driver does. The tests spend most of
# their time waiting on lines and processes, so four workers share the two
# cores of a CI machine well (QM4410_TEST_WORKERS=0 runs them in one
# process); those marked "alone" run after them, by themselves (pytest's 5:
# the arguments chose none of them).
python3 -m pytest -q -n "${QM4410_TEST_WORKERS:-4}" -m "not alone" . ../bench "$@"
if [ "$frameworks" = 1 ]; then
    python3 -m pytest -q -m alone . "$@" || [ $? = 5 ]
fi
