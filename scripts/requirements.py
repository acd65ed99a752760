"""The requirements of the named extras of pyproject.toml, one a line: the
scripts install what the suite and its checks need from there, so that each
is listed once.

    python3 scripts/requirements.py test plot typecheck
"""

import sys
import tomllib
from pathlib import Path

with open(Path(__file__).parent.parent / "pyproject.toml", "rb") as file:
    extras = tomllib.load(file)["project"]["optional-dependencies"]
print(*(requirement for extra in sys.argv[1:] for requirement in extras[extra]), sep="\n")
