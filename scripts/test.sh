#!/usr/bin/env bash
# The test command: the sources' lint and layout, then the whole test suite
# with the frameworks and the type checks, on one interpreter: the python3
# on PATH if it is a virtual environment, else the checkout's own
# .venv-test/, which it makes (scripts/venv.sh). Extra arguments go to
# pytest. CI runs it first, then what takes longer or needs more of the
# machine (.ci/run): the other interpreters, the cross builds and the
# sanitized suite.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

bash scripts/lint.sh
bash scripts/suite.sh "$@"
echo "test.sh: $((SECONDS - started)) s"
