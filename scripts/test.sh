#!/usr/bin/env bash
# Everything that can be checked on this machine, and what CI runs: the
# sources' lint and layout, the whole test suite on the interpreter on PATH,
# then on every other CPython from 3.11 to 3.13 the machine has, then the
# cross-compilations for macOS and Windows, then the suite once more under
# AddressSanitizer and UndefinedBehaviorSanitizer. Extra arguments go to
# pytest. For a quick run on one interpreter:
# bash scripts/suite.sh [pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/lint.sh
bash scripts/suite.sh "$@"
bash scripts/interpreters.sh "$@"
bash scripts/cross.sh
bash scripts/sanitize.sh "$@"
