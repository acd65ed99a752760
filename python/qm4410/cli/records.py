"""Where the samples of a run go besides the screen: CSV or JSON Lines."""

import contextlib
import csv
import json
from collections.abc import Callable, Iterator, Mapping
from typing import IO, Any, NamedTuple

from . import plot
from .exits import CommandError, Exit
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



class LogFormat(NamedTuple):
    fields: tuple[str, ...]
    kind: str  # whose columns they are, as an error names them


MONITOR_LOG = LogFormat(FIELDS, "the monitor's")
# A workflow's rows also say which step of which cycle they were taken at,
# and what the workflow had asked of the supply by then.
WORKFLOW_LOG = LogFormat(
    FIELDS[:2] + ("cycle", "step", "asked_voltage", "asked_current") + FIELDS[2:],
    "those of sweep, ramp and run",
)

SampleWriter = Callable[[Mapping[str, Any]], None]


def check_outputs(args, log: LogFormat) -> None:
    """Refuse, before the supply is touched, what would end a run badly at
    its end or at its first sample: a plot without matplotlib or that
    cannot be written, a log that cannot be written or appended to."""
    if args.plot:
        plot.require_matplotlib()
        check_writable(args.plot)
    if args.csv or args.jsonl:
        check_log(args.csv or args.jsonl, as_csv=bool(args.csv), append=args.append, log=log)


def check_log(path: str, as_csv: bool, append: bool, log: LogFormat = MONITOR_LOG) -> None:
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
        raise CommandError(Exit.FILE_ERROR, f"cannot read {path}: {error.strerror}") from None
    if first_line and first_line != ",".join(log.fields):
        raise CommandError(Exit.FILE_ERROR, f"cannot append to {path}: its columns are not {log.kind}")


@contextlib.contextmanager
def sample_writer(
    csv_path: str | None, jsonl_path: str | None, append: bool, log: LogFormat = MONITOR_LOG
) -> Iterator[SampleWriter]:
    """A function that stores one sample in the file asked for (or nowhere).

    The file is opened at the first sample, so a run that fails before it
    leaves an existing file as it was. Each sample is flushed at once, so a
    run that ends badly keeps every sample taken before.
    """
    path = csv_path or jsonl_path
    if path is None:
        yield lambda sample: None
        return
    stored = _Log(path, log.fields, as_csv=bool(csv_path), append=append)
    try:
        yield stored.write
    finally:
        stored.close()


class _Log:
    def __init__(self, path: str, fields: tuple[str, ...], as_csv: bool, append: bool) -> None:
        self.path = path
        self.fields = fields
        self.as_csv = as_csv
        self.append = append
        self.stream: IO[str] | None = None
        self.put_row: Callable[[dict], object] = lambda row: None

    def write(self, sample: Mapping[str, Any]) -> None:
        if self.stream is None:
            self._stored(self._open)
        self._stored(self.put_row, {field: sample[field] for field in self.fields})

    def _open(self) -> None:
        stream = open(self.path, "a" if self.append else "w", newline="" if self.as_csv else None, encoding="utf-8")
        self.stream = stream
        if not self.as_csv:
            self.put_row = lambda row: stream.write(json.dumps(row) + "\n")
            return
        writer = csv.DictWriter(stream, fieldnames=self.fields)
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
            raise CommandError(Exit.FILE_ERROR, f"cannot write {self.path}: {error.strerror}") from None

    def close(self) -> None:
        # Every write was flushed at once, so only bytes whose write failed
        # (and was reported) can still be buffered; closing would fail on
        # them again and hide the status already chosen.
        if self.stream is not None:
            with contextlib.suppress(OSError):
                self.stream.close()
