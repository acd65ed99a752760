#!/usr/bin/env bash
# The sources' lint and layout: ruff's checks and formatter for the Python,
# clang-format for the C++ (configured in pyproject.toml and .clang-format).
# Nothing is changed; `ruff check --fix`, `ruff format` and
# `clang-format -i` put things right.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/venv.sh

requirements=$(python3 scripts/requirements.py lint)
mapfile -t tools <<<"$requirements"
python3 -m pip install --quiet --disable-pip-version-check "${tools[@]}"
python3 -m ruff check .
python3 -m ruff format --check .
clang_format=$(python3 -c 'import clang_format; print(clang_format.get_executable("clang-format"))')
git ls-files -- '*.cpp' '*.hpp' | xargs "$clang_format" --dry-run --Werror
echo "lint.sh: the sources are clean"
