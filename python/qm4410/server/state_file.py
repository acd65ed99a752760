"""What a server keeps of its supply across restarts, in a file: the
set-points, whether the output was meant to be on, who the supply was, and
the guard's rules and slew rates in force.

A file is written whole or not at all (a temporary file beside it, synced,
renamed over it, and the directory synced), after its last three versions
are kept as backups (FILE.1, the newest, to FILE.3). Each carries a digest
of its content: one that is cut short or changed is damaged, and reading
falls back to the newest good backup."""

import dataclasses
import hashlib
import json
import logging
import os
import re
from collections.abc import Mapping
from pathlib import Path
from typing import Any

log = logging.getLogger("qm4410.serve")

FORMAT = 1
BACKUPS = 3


@dataclasses.dataclass(frozen=True)
class Saved:
    """The state kept: set-points in whole mV and mA, whether the output was
    meant to be on, the supply's model and serial number, and the guard's
    rules and slew rates in force (for the log: the rules in force are the
    server's own)."""

    voltage: int
    current: int
    max_voltage: int
    output: bool
    supply: tuple[str, str]
    rules: Mapping[str, Any] = dataclasses.field(default_factory=dict)
    slew: Mapping[str, float | None] = dataclasses.field(default_factory=dict)

    def setpoints(self) -> tuple[int, int, int]:
        return self.voltage, self.current, self.max_voltage

    def described(self) -> str:
        """The set-points and the output, for the log."""
        return (
            f"{self.voltage / 1000:.3f} V, {self.current / 1000:.3f} A, maximum {self.max_voltage / 1000:.3f} V, "
            f"output {'on' if self.output else 'off'}"
        )


def default_path(port: str) -> Path:
    """Where the state of the supply on `port` is kept unless said otherwise:
    in the user's state directory ($XDG_STATE_HOME, else ~/.local/state),
    under qm4410/, named after the port."""
    base = os.environ.get("XDG_STATE_HOME") or os.path.join(os.path.expanduser("~"), ".local", "state")
    name = re.sub(r"[^A-Za-z0-9._-]+", "-", port).strip("-.") or "port"
    return Path(base) / "qm4410" / f"{name}.json"


class StateFile:
    """The state of one supply at `path`, with its backups."""

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = Path(path)

    def backup(self, number: int) -> Path:
        return self.path.with_name(f"{self.path.name}.{number}")

    def read(self) -> Saved | None:
        """The newest good state: the file's, else its newest good backup's
        (the log says which, and why the file was not used); None when
        there is none (the first run) or none is good."""
        damaged = []
        for path in [self.path, *(self.backup(n) for n in range(1, BACKUPS + 1))]:
            try:
                text = path.read_text(encoding="utf-8")
            except FileNotFoundError:
                continue
            except OSError as error:
                damaged.append(f"{path}: {error.strerror or error}")
                continue
            try:
                saved = _decoded(text)
            except ValueError as error:
                damaged.append(f"{path}: {error}")
                continue
            if damaged:
                log.warning("the saved state is taken from %s: %s", path, "; ".join(damaged))
            return saved
        if damaged:
            log.error("no saved state can be used: %s", "; ".join(damaged))
        return None

    def write(self, saved: Saved) -> None:
        """Write `saved` durably, the versions before it kept as backups;
        OSError when it cannot be."""
        self.path.parent.mkdir(parents=True, exist_ok=True)
        temporary = self.path.with_name(f".{self.path.name}.new")
        with open(temporary, "w", encoding="utf-8") as file:
            file.write(_encoded(saved))
            file.flush()
            os.fsync(file.fileno())
        for number in range(BACKUPS, 1, -1):
            if self.backup(number - 1).exists():
                os.replace(self.backup(number - 1), self.backup(number))
        if self.path.exists():
            # A second name for the version being replaced: the file itself
            # is never missing, whenever the machine stops.
            try:
                os.link(self.path, self.backup(1))
            except OSError:  # a file system without links: the file is missing for a moment
                os.replace(self.path, self.backup(1))
        os.replace(temporary, self.path)
        directory = os.open(self.path.parent, os.O_RDONLY)
        try:
            os.fsync(directory)
        finally:
            os.close(directory)


def _encoded(saved: Saved) -> str:
    content = dataclasses.asdict(saved)
    return json.dumps({"format": FORMAT, "digest": _digest(content), "state": content}, indent=2) + "\n"


def _digest(content: Mapping[str, Any]) -> str:
    return hashlib.sha256(json.dumps(content, sort_keys=True).encode()).hexdigest()


def _decoded(text: str) -> Saved:
    """The state a file's text holds; ValueError, saying why, when it is
    damaged or not such a file."""
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise ValueError(f"not whole ({error})") from None
    if not isinstance(document, dict) or document.get("format") != FORMAT:
        raise ValueError("not a state file of this version")
    content = document.get("state")
    if not isinstance(content, dict) or document.get("digest") != _digest(content):
        raise ValueError("its content does not match its digest")
    try:
        saved = Saved(**{**content, "supply": tuple(content["supply"])})
        valid = all(isinstance(value, int) and value >= 0 for value in saved.setpoints())
    except (KeyError, TypeError):
        valid = False
    if not valid or not isinstance(saved.output, bool):
        raise ValueError("its content is not a state")
    return saved
