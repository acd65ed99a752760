# Sourced, from the checkout's root, by every script that installs with pip:
# none installs into a Python that is not a virtual environment. The
# python3 on PATH is used as it is when it is one (an activated venv, say);
# otherwise the checkout's own, .venv-test/ (ignored by git), is made from
# it on first use, made again if the python3 on PATH has changed since, and
# put first on PATH.
if ! python3 -c 'import sys; sys.exit(sys.prefix == sys.base_prefix)'; then
    test_venv="$PWD/.venv-test"
    base=$(python3 -c 'import sys; print(sys.base_prefix)')
    if [ "$("$test_venv/bin/python3" -c 'import sys; print(sys.base_prefix)' 2>/dev/null)" != "$base" ]; then
        echo "$(basename "$0"): the python3 on PATH ($base) is no virtual environment:" \
            "installing into .venv-test/ instead"
        rm -rf "$test_venv"
        python3 -m venv "$test_venv"
    fi
    export VIRTUAL_ENV="$test_venv" PATH="$test_venv/bin:$PATH"
    hash -r
fi
