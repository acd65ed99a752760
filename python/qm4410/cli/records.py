"""Where the monitor's samples go besides the screen: CSV or JSON Lines."""

import contextlib
import csv
import json
from collections.abc import Callable, Iterator
from typing import IO

from .failures import FILE_ERROR, CommandError
from .files import check_writable

# The status record's entries, in the driver's order.
STATUS_KEYS = (
    "current_real",
    "voltage_real",
    "current_set",
    "voltage_max_set",
    "voltage_set",
    "out_status",
    "beyond_temp",
    "out_mode",
    "fan_speed",
    "work_mode",
)

# Time first, then what was measured, then what was asked for, then state;
# last whether the supply answered at all (a sample it did not answer keeps
# its row, with every value empty).
FIELDS = (
    "timestamp",
    "elapsed_s",
    "voltage_real",
    "current_real",
    "power_w",
    "voltage_set",
    "current_set",
    "voltage_max_set",
    "out_status",
    "out_mode",
    "beyond_temp",
    "fan_speed",
    "work_mode",
    "answered",
)

SampleWriter = Callable[[dict], None]


def check_log(path: str, as_csv: bool, append: bool) -> None:
    """Refuse a log file before the run: one that cannot be written, or a CSV
    file to append to whose columns are not these."""
    check_writable(path)
    if not (as_csv and append):
        return
    try:
        with open(path, newline="", encoding="utf-8", errors="replace") as existing:
            first_line = existing.readline().rstrip("\r\n")
    except FileNotFoundError:
        return
    except OSError as error:
        raise CommandError(FILE_ERROR, f"cannot read {path}: {error.strerror}") from None
    if first_line and first_line != ",".join(FIELDS):
        raise CommandError(FILE_ERROR, f"cannot append to {path}: its columns are not the monitor's")


@contextlib.contextmanager
def sample_writer(csv_path: str | None, jsonl_path: str | None, append: bool) -> Iterator[SampleWriter]:
    """A function that stores one sample in the file asked for (or nowhere).

    The file is opened at the first sample, so a run that fails before it
    leaves an existing file as it was. Each sample is flushed at once, so a
    run that ends badly keeps every sample taken before.
    """
    path = csv_path or jsonl_path
    if path is None:
        yield lambda sample: None
        return
    log = _Log(path, as_csv=bool(csv_path), append=append)
    try:
        yield log.write
    finally:
        log.close()


class _Log:
    def __init__(self, path: str, as_csv: bool, append: bool) -> None:
        self.path = path
        self.as_csv = as_csv
        self.append = append
        self.stream: IO[str] | None = None
        self.put_row: Callable[[dict], object] = lambda row: None

    def write(self, sample: dict) -> None:
        if self.stream is None:
            self._stored(self._open)
        self._stored(self.put_row, {field: sample[field] for field in FIELDS})

    def _open(self) -> None:
        stream = open(self.path, "a" if self.append else "w", newline="" if self.as_csv else None, encoding="utf-8")
        self.stream = stream
        if not self.as_csv:
            self.put_row = lambda row: stream.write(json.dumps(row) + "\n")
            return
        writer = csv.DictWriter(stream, fieldnames=FIELDS)
        self.put_row = writer.writerow
        if stream.tell() == 0:  # a new or empty file: appended rows follow the header there is
            writer.writeheader()

    def _stored(self, put: Callable, *args) -> None:
        # Flushed here, so that a full disk shows at this sample, named as
        # the file's fault, and not later as an error from somewhere else.
        try:
            put(*args)
            if self.stream is not None:
                self.stream.flush()
        except OSError as error:
            raise CommandError(FILE_ERROR, f"cannot write {self.path}: {error.strerror}") from None

    def close(self) -> None:
        # Every write was flushed at once, so only bytes whose write failed
        # (and was reported) can still be buffered; closing would fail on
        # them again and hide the status already chosen.
        if self.stream is not None:
            with contextlib.suppress(OSError):
                self.stream.close()
