"""Files the command writes, checked before the supply is touched, so that a
long run never ends in a file it cannot write."""

import os

from .exits import CommandError, Exit


def check_writable(path: str) -> None:
    """Raise the CommandError that says why `path` cannot be written, if it
    cannot. Nothing is created: a run that fails before its first sample
    leaves no file behind."""
    folder = os.path.dirname(os.path.abspath(path))
    if os.path.isdir(path):
        problem = "it is a folder"
    elif not os.path.isdir(folder):
        problem = f"there is no folder {folder}"
    elif not os.access(path if os.path.exists(path) else folder, os.W_OK):
        problem = "permission denied"
    else:
        return
    raise CommandError(Exit.FILE_ERROR, f"cannot write {path}: {problem}")
