"""Reading a profile from a file, by its suffix."""

import os
from pathlib import Path
from typing import Literal

from .profile import Profile
from .profile_csv import read_csv_profile
from .profile_toml import read_toml_profile

READERS = {"csv": read_csv_profile, "toml": read_toml_profile}


def load_profile(path: str | os.PathLike[str]) -> Profile:
    """The profile in a .csv or .toml file, checked whole: ProfileError
    (a ValueError) names the line and column of every problem. Errors of
    the file itself (missing, unreadable) are raised as OSError."""
    kind = Path(path).suffix.lower().lstrip(".")
    if kind not in READERS:
        raise ValueError(f"{os.fspath(path)}: a profile is a .csv or a .toml file")
    return READERS[kind](Path(path).read_text(encoding="utf-8-sig"), os.fspath(path))


def parse_profile(text: str, kind: Literal["csv", "toml"], source: str = "<profile>") -> Profile:
    """A profile from its text; `source` names it in error messages."""
    if kind not in READERS:
        raise ValueError(f"a profile is 'csv' or 'toml', not {kind!r}")
    return READERS[kind](text, source)
