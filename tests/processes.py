"""The processes a process started, read from /proc."""

import pathlib


def children_of(pid: int) -> dict[int, str]:
    """The processes `pid` started and not yet reaped, with their command lines."""
    found = {}
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            # "pid (name) state ppid ...": the name may hold spaces, so split after it.
            if int((entry / "stat").read_text().rpartition(")")[2].split()[1]) == pid:
                found[int(entry.name)] = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
        except OSError:
            continue  # it ended meanwhile
    return found
