#!/usr/bin/env bash
# The whole test suite on one interpreter, the python3 on PATH when it is a
# virtual environment, else the checkout's .venv-test/ (scripts/venv.sh):
# installs what the tests need, builds and installs the package as a user
# would (a regular install: the package's __init__ is an extension) and runs
# every test. $QM4410_PACKAGE names what to install (an sdist, say); the
# source tree by default. Extra arguments go to pytest.
#
# Programs that pip cannot install (lsof, ser2net: tests/programs.txt) are
# not installed here: a test that needs one that is missing is skipped, and
# says which Debian package has it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

# The suite's own tools and the extras of what it tests, as pyproject.toml
# lists them: the adapters to frameworks and the server's EPICS, VISA and
# web endpoints, each tested and type-checked, the EPICS endpoint also by
# clients this project did not write, the web page in a browser
# (Playwright). The frameworks are large: QM4410_FRAMEWORKS=0
# (scripts/interpreters.sh's choice for the other interpreters) leaves them
# out, their tests skipped, and with them the type check of the whole
# package and the timed server tests, which the run on the first
# interpreter has done.
frameworks=${QM4410_FRAMEWORKS:-1}
extras=(test plot typecheck)
if [ "$frameworks" = 1 ]; then
    extras+=(bluesky qcodes openhtf pymeasure epics lxi web epics-clients web-clients)
fi
requirements=$(python3 scripts/requirements.py "${extras[@]}")
mapfile -t requirements <<<"$requirements"
python3 -m pip install --quiet --disable-pip-version-check "${requirements[@]}"
python3 -m pip install --quiet --disable-pip-version-check --force-reinstall --no-deps "${QM4410_PACKAGE:-.}"

echo "suite.sh: $(python3 -c 'import platform, sys; print(platform.python_implementation(), platform.python_version(), "in", sys.prefix)')"
# Run from tests/ so the source folder python/ can never shadow the install.
cd tests
# The stub must describe what the installed module really has, and the
# package's Python modules must type-check as installed.
allowlists=(--allowlist ../scripts/stubtest-allowlist)
if [ "$frameworks" != 1 ]; then
    allowlists+=(--allowlist ../scripts/stubtest-allowlist-frameworks --ignore-unused-allowlist)
fi
python3 -m mypy.stubtest --mypy-config-file ../pyproject.toml "${allowlists[@]}" qm4410
if [ "$frameworks" = 1 ]; then python3 -m mypy --strict -p qm4410 -p pytest_qm4410; fi
# The benchmark's own checks (nothing timed) run too: its plain-Python
# reference must keep doing what the driver does. The tests spend most of
# their time waiting on lines and processes, so four workers share the two
# cores of a CI machine well (QM4410_TEST_WORKERS=0 runs them in one
# process); each takes the next test when it is free, so that no long test
# comes last to one worker while the others wait. Those marked "alone" run
# after them, by themselves (pytest's 5: the arguments chose none of them).
python3 -m pytest -q -n "${QM4410_TEST_WORKERS:-4}" --dist worksteal -m "not alone" . ../bench "$@"
if [ "$frameworks" = 1 ]; then
    python3 -m pytest -q -m alone . "$@" || [ $? = 5 ]
fi
