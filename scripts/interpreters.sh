#!/usr/bin/env bash
# The whole test suite on every CPython from 3.11 to 3.13 that this machine
# has besides the python3 on PATH (whose own run is the test command's), each in
# a virtual environment of its own, installed from an sdist of the tree: so
# the sdist is checked to build and work too. Interpreters are found through
# pyenv, else as python3.X on PATH; one that is missing is named as skipped.
# Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh
started=$SECONDS

work=$(mktemp -d -t qm4410-interpreters.XXXXXX)
trap 'rm -rf "$work"' EXIT

# The interpreter of version $1 (3.12, say), or nothing.
find_python() {
    local prefix
    if command -v pyenv >/dev/null 2>&1 && prefix=$(pyenv prefix "$1" 2>/dev/null); then
        [ -x "$prefix/bin/python$1" ] && { echo "$prefix/bin/python$1"; return; }
    fi
    # pyenv's shims name versions that are not active: ask the interpreter.
    "python$1" -c 'import sys; print(sys.executable)' 2>/dev/null || true
}

this=$(python3 -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
python3 -m pip install --quiet --disable-pip-version-check build
python3 -m build --sdist --outdir "$work" . >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }
sdist=$(echo "$work"/qm4410-*.tar.gz)

tested=()
skipped=()
for version in 3.11 3.12 3.13; do
    [ "$version" = "$this" ] && continue
    python=$(find_python "$version")
    if [ -z "$python" ]; then
        echo "interpreters.sh: no CPython $version on this machine: skipped"
        skipped+=("$version")
        continue
    fi
    venv="$work/venv-$version"
    "$python" -m venv "$venv"
    echo "interpreters.sh: CPython $version ($python), installed from $(basename "$sdist")"
    PATH="$venv/bin:$PATH" VIRTUAL_ENV="$venv" QM4410_PACKAGE="$sdist" QM4410_FRAMEWORKS=0 bash scripts/suite.sh "$@"
    tested+=("$version")
done
echo "interpreters.sh: suite passed on CPython ${tested[*]:-(none)} besides $this (the test command's);" \
    "skipped: ${skipped[*]:-none}; $((SECONDS - started)) s"
