#!/usr/bin/env bash
# Builds the extension and the virtual supply with AddressSanitizer and
# UndefinedBehaviorSanitizer into a virtual environment of their own, and runs
# the whole test suite with them. Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

venv=${QM4410_SANITIZE_VENV:-/tmp/qm4410-sanitize}
python3 -m venv "$venv"
"$venv/bin/pip" install --quiet --disable-pip-version-check pyserial pytest hypothesis
"$venv/bin/pip" install --quiet --disable-pip-version-check --force-reinstall --no-deps \
    -C cmake.define.QM4410_SANITIZE=ON -C cmake.build-type=Debug .

# The interpreter itself is not instrumented, so the runtime must come first.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so)"
# CPython keeps its own objects until exit by design: leak reports would be
# about the interpreter, not this code.
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export PATH="$venv/bin:$PATH"

cd tests
python -m pytest -q -p no:cacheprovider "$@"
