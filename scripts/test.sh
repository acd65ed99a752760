#!/usr/bin/env bash
# The test command: the sources' lint and layout, then the whole test suite
# with the frameworks and the type checks, on one interpreter: the python3
# on PATH if it is a virtual environment, else the checkout's own
# .venv-test/, which it makes (scripts/venv.sh). Extra arguments go to
# pytest.
#
# With --all first (CI's run, .ci/run), it goes on with what takes longer or
# needs more of the machine: the suite on the other interpreters, the cross
# builds and the sanitized suite. QM4410_NO_SKIP=1, which makes a skipped
# test fail the run, holds for the first run alone: the others leave out
# the frameworks, and the sanitizers what they cannot run, by design.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS
all=0
if [ "${1:-}" = --all ]; then
    all=1
    shift
fi

bash scripts/lint.sh
bash scripts/suite.sh "$@"
echo "test.sh: the test command's run, $((SECONDS - started)) s"
if [ "$all" = 1 ]; then
    env -u QM4410_NO_SKIP bash scripts/interpreters.sh "$@"
    bash scripts/cross.sh
    env -u QM4410_NO_SKIP bash scripts/sanitize.sh "$@"
    echo "test.sh --all: $((SECONDS - started)) s"
fi
