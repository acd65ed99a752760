"""What pyproject.toml says the package needs, then the requirements of the
named extras, one a line: the scripts install the package itself without
its dependencies (so that it is built anew each time), and what the suite
and its checks need from here, so that each is listed once.

    python3 scripts/requirements.py test plot typecheck
"""

import sys
import tomllib
from pathlib import Path

with open(Path(__file__).parent.parent / "pyproject.toml", "rb") as file:
    project = tomllib.load(file)["project"]
extras = project["optional-dependencies"]
print(*project["dependencies"], *(requirement for extra in sys.argv[1:] for requirement in extras[extra]), sep="\n")
