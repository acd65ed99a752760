"""Where the samples of a run go besides the screen: CSV or JSON Lines,
and a plot; the options that ask for them, and the checks that refuse a
file before the supply is touched, so that a long run never ends in a file
it cannot write."""

import argparse
import contextlib
import csv
import json
import os
from collections.abc import Callable, Iterator, Mapping
from typing import IO, Any, NamedTuple

from . import plot
from .exits import CommandError, Exit
from .values import pixels, plot_file

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

TIME_PLOT = "draw voltage, current and power against time at the end, the set-points beside them, CV and CC shaded"

SampleWriter = Callable[[Mapping[str, Any]], None]


def add_options(command: argparse.ArgumentParser, what: str, plot_help: str) -> None:
    """--csv or --jsonl (with --append), --plot and --plot-size."""
    record = command.add_mutually_exclusive_group()
    record.add_argument("--csv", metavar="FILE", help=f"write the {what} as CSV")
    record.add_argument("--jsonl", metavar="FILE", help=f"write the {what} as JSON Lines")
    command.add_argument(
        "--append", action="store_true", help="add to an existing --csv or --jsonl file instead of replacing it"
    )
    command.add_argument("--plot", type=plot_file, metavar="FILE", help=f"{plot_help}, as .png, .svg or .pdf")
    low, high = plot.SIDE_PIXELS
    command.add_argument(
        "--plot-size",
        type=pixels,
        default=(1000, 750),
        metavar="WxH",
        help=f"plot size in pixels, {low} to {high} a side (default 1000x750)",
    )


def problem(args: argparse.Namespace) -> str | None:
    """What the options of add_options() cannot mean together."""
    if args.append and not (args.csv or args.jsonl):
        return "--append needs --csv FILE or --jsonl FILE"
    return None


def check(args: argparse.Namespace, log: LogFormat) -> None:
    """Refuse, before the supply is touched, what would end a run badly at
    its end or at its first sample: a plot without matplotlib or that
    cannot be written, a log that cannot be written or appended to."""
    if args.plot:
        plot.require_matplotlib()
        check_writable(args.plot)
    path = args.csv or args.jsonl
    if path:
        check_writable(path)
        if args.csv and args.append:
            _check_columns(path, log)


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


def _check_columns(path: str, log: LogFormat) -> None:
    """A CSV file to append to must have these columns, or none yet."""
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
def writer(args: argparse.Namespace, log: LogFormat) -> Iterator[SampleWriter]:
    """A function that stores one sample in the file asked for (or nowhere).

    The file is opened at the first sample, so a run that fails before it
    leaves an existing file as it was. Each sample is flushed at once, so a
    run that ends badly keeps every sample taken before.
    """
    path = args.csv or args.jsonl
    if path is None:
        yield lambda sample: None
        return
    stored = _Log(path, log.fields, as_csv=bool(args.csv), append=args.append)
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
        self.put_row: Callable[[dict[str, Any]], object] = lambda row: None

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
        table = csv.DictWriter(stream, fieldnames=self.fields)
        self.put_row = table.writerow
        if stream.tell() == 0:  # a new or empty file: appended rows follow the header there is
            table.writeheader()

    def _stored(self, put: Callable[..., object], *args: object) -> None:
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
