#!/usr/bin/env bash
# Builds the extension and the virtual supply with AddressSanitizer and
# UndefinedBehaviorSanitizer into a virtual environment of their own (in a
# temporary folder of the run's, removed at the end, or
# $QM4410_SANITIZE_VENV), and runs the whole test suite with them: the
# driver in the test process, the simulator and the `qm4410` command in the
# subprocesses the tests start. Any sanitizer report, in any of those
# processes, fails the run; the simulator is also checked for leaks when it
# exits. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
started=$SECONDS

# A folder of the run's own: runs beside it never share one.
work=$(mktemp -d -t qm4410-sanitize.XXXXXX)
trap 'rm -rf "$work"' EXIT
venv=${QM4410_SANITIZE_VENV:-$work/venv}
python3 -m venv "$venv"
requirements=$(python3 scripts/requirements.py test plot)
mapfile -t requirements <<<"$requirements"
"$venv/bin/pip" install --quiet --disable-pip-version-check "${requirements[@]}"
"$venv/bin/pip" install --quiet --disable-pip-version-check --force-reinstall --no-deps \
    -C cmake.define.QM4410_SANITIZE=ON -C cmake.build-type=Debug .

extension=$("$venv/bin/python" -c 'import importlib.util as u; print(u.find_spec("qm4410").origin)')
for binary in "$extension" "$venv/bin/qm4410-sim"; do
    # Not `ldd | grep -q`: grep stops at the first match, and under pipefail
    # the ldd it leaves writing to a closed pipe fails the test.
    if [[ $(ldd "$binary") != *libasan* ]]; then
        echo "sanitize.sh: $binary is not instrumented" >&2
        exit 1
    fi
done

# Reports go to files, one per process, so that none is lost in a
# subprocess whose output a test does not look at.
reports="$work/reports"
mkdir "$reports"

# The simulator is a whole C++ program of ours, so its exit is worth a leak
# check; the interpreter's is not (CPython keeps its own objects until exit by
# design), nor are those of the programs the tests run under the simulator.
# ASan reads the options file named after the running program, if any.
options="$work/options"
mkdir "$options"
echo detect_leaks=1 >"$options/qm4410-sim"
# A daemon thread that the interpreter ends as it exits (inside the driver's
# pause between polls) is unwound through instrumented frames whose stack
# guards no epilogue lifts; the runtime's own sigaltstack call, as it clears
# the stack at the next landing pad, then lands on them. That report is the
# runtime's, about memory no code of ours touches: tests/test_shutdown.py
# ends such threads on purpose.
echo "interceptor_name:sigaltstack" >"$work/asan.supp"

# The interpreter itself is not instrumented, so the runtime must come first;
# libstdc++ too, or ASan cannot find the real __cxa_throw when an extension
# loaded later (matplotlib's) throws a C++ exception.
export LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)"
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:strict_init_order=1:log_path=$reports/asan\
:include_if_exists=$options/%b:suppressions=$work/asan.supp
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:log_path=$reports/ubsan
export PATH="$venv/bin:$PATH"
unset QM4410_SIM

status=0
# Instrumented processes are heavier: two workers. The tests marked
# "alone" time a server's replies, which instrumented code beside other
# workers would not keep to; the suite runs them uninstrumented.
(cd tests && python -m pytest -q -p no:cacheprovider -n "${QM4410_TEST_WORKERS:-2}" --dist worksteal -m "not alone" "$@") ||
    status=$?

if compgen -G "$reports/*" >/dev/null; then
    for report in "$reports"/*; do
        echo "==== $report" >&2
        cat "$report" >&2
    done
    echo "sanitize.sh: sanitizer reports above" >&2
    status=1
fi
echo "sanitize.sh: $((SECONDS - started)) s, $([ "$status" = 0 ] && echo clean || echo FAILED)"
exit "$status"
