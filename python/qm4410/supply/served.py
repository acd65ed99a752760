"""Which devices of this machine `qm4410 serve` holds, and at which
RFC 2217 URL it serves each: a small file a device, in a folder of the
user's own, written once the server is up and removed when it stops. A
program refused a device that a server holds is told the URL to use
instead. A file is believed only for the process that holds the device as
lsof tells it, so one left behind by a server that was killed misleads
nobody, whatever process later takes its number."""

import contextlib
import getpass
import json
import os
import tempfile
from collections.abc import Collection, Iterator, Sequence
from pathlib import Path
from urllib.parse import quote

from .remote import is_url

# The folder of the files, when set: the tests set one of their own.
FOLDER_VARIABLE = "QM4410_RUNTIME_DIR"
RFC2217 = "rfc2217://"


def folder() -> Path:
    """$QM4410_RUNTIME_DIR; else qm4410 in the user's runtime folder
    ($XDG_RUNTIME_DIR); else a folder of the user's name in the system's
    temporary one."""
    chosen = os.environ.get(FOLDER_VARIABLE)
    if chosen:
        return Path(chosen)
    runtime = os.environ.get("XDG_RUNTIME_DIR")
    if runtime:
        return Path(runtime) / "qm4410"
    return Path(tempfile.gettempdir()) / f"qm4410-{getpass.getuser()}"


@contextlib.contextmanager
def recorded(device: str, resources: Sequence[str]) -> Iterator[None]:
    """While the block runs, that this process serves `device` at the first
    RFC 2217 URL of `resources` (a server's, as it prints them). Nothing
    for a URL (no device of this machine) or a server without RFC 2217; a
    file that cannot be written costs the server nothing."""
    url = next((resource for resource in resources if resource.startswith(RFC2217)), None)
    if url is None or is_url(device):
        yield
        return
    path = _file(device)
    record = {"device": os.path.realpath(device), "pid": os.getpid(), "url": url}
    with contextlib.suppress(OSError):
        path.parent.mkdir(mode=0o700, parents=True, exist_ok=True)
        written = path.with_name(f"{path.name}.{os.getpid()}")
        written.write_text(json.dumps(record))
        written.replace(path)  # whole or not at all, for a reader at the same moment
    try:
        yield
    finally:
        if _record(path) == record:  # not another server's, which holds the device since
            with contextlib.suppress(OSError):
                path.unlink()


def url_of(device: str, holders: Collection[int]) -> str | None:
    """The URL at which one of the processes `holders` (by their ids)
    serves `device`, if one does."""
    record = _record(_file(device))
    if not (record and record.get("pid") in holders and record.get("device") == os.path.realpath(device)):
        return None
    url = record.get("url")
    return url if isinstance(url, str) and url.startswith(RFC2217) else None


def _file(device: str) -> Path:
    # One name a device, however it was named (/dev/serial/by-id/...).
    return folder() / (quote(os.path.realpath(device), safe="") + ".json")


def _record(path: Path) -> dict[str, object] | None:
    """What the file at `path` records, if it is to be believed: the
    folder it is in must be the user's alone, as a folder in a shared
    temporary one might not be."""
    try:
        where = path.parent.stat()
        if hasattr(os, "getuid") and (where.st_uid != os.getuid() or where.st_mode & 0o022):
            return None
        record = json.loads(path.read_text())
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None
