"""Where the samples of a run go besides the screen: CSV or JSON Lines,
and a plot; the options that ask for them, and the checks that refuse a
file before the supply is touched, so that a long run never ends in a file
it cannot write."""

import argparse
import contextlib
import csv
import io
import json
import os
from collections.abc import Callable, Iterator, Mapping, Sequence
from typing import Any, Literal, NamedTuple

from qm4410.supply.status import FIELDS as STATUS_FIELDS
from qm4410.supply.status import Status, named
from qm4410.workflows import Row

from . import plot
from .exits import CommandError, Exit
from .values import pixels, plot_file

# Time first, then the status by its fields' names (what was measured, what
# was asked for, the state); last whether the supply answered at all (a
# sample it did not answer keeps its row, with every value empty).
FIELDS = ("timestamp", "elapsed_s", *STATUS_FIELDS, "answered")
# A workflow's own entries, which its rows have before the status.
WORKFLOW_ENTRIES = ("timestamp", "elapsed_s", "cycle", "step", "asked_voltage", "asked_current")


class LogFormat(NamedTuple):
    fields: tuple[str, ...]
    kind: str  # whose columns they are, as an error names them


MONITOR_LOG = LogFormat(FIELDS, "the monitor's")
# A workflow's rows also say which step of which cycle they were taken at,
# and what the workflow had asked of the supply by then.
WORKFLOW_LOG = LogFormat(WORKFLOW_ENTRIES + FIELDS[2:], "those of sweep, ramp and run")

TIME_PLOT = "draw voltage, current and power against time at the end, the set-points beside them, CV and CC shaded"

Sample = dict[str, Any]
SampleWriter = Callable[[Mapping[str, Any]], None]
# What is done with a log file that is there already.
Existing = Literal["append", "overwrite", "refuse"]


def workflow_sample(row: Row) -> Sample:
    """A workflow's row as the command shows and logs it: the workflow's
    own entries, then its status by the fields' names."""
    entries: Mapping[str, Any] = row
    status = Status.from_record(entries) if row["answered"] else None
    return {key: entries[key] for key in WORKFLOW_ENTRIES} | named(status) | {"answered": row["answered"]}


def add_options(command: argparse.ArgumentParser, what: str, plot_help: str) -> None:
    """--csv or --jsonl (with --append or --overwrite), --plot and --plot-size."""
    record = command.add_mutually_exclusive_group()
    record.add_argument("--csv", metavar="FILE", help=f"write the {what} as CSV")
    record.add_argument(
        "--jsonl",
        metavar="FILE",
        help=f"write the {what} as JSON Lines (a file that is there and not empty is refused unless --append or "
        "--overwrite says what to do with it)",
    )
    existing = command.add_mutually_exclusive_group()
    existing.add_argument(
        "--append",
        action="store_true",
        help="add to an existing --csv or --jsonl file; a file of other columns, or whose last row is cut short "
        "(no line end after it), is refused",
    )
    existing.add_argument(
        "--overwrite", action="store_true", help="replace an existing --csv or --jsonl file, whatever it holds"
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
    for option in ("append", "overwrite"):
        if getattr(args, option) and not (args.csv or args.jsonl):
            return f"--{option} needs --csv FILE or --jsonl FILE"
    return None


def existing(args: argparse.Namespace) -> Existing:
    """What --append or --overwrite, or neither, asks done with a log file
    that is there already."""
    return "append" if args.append else "overwrite" if args.overwrite else "refuse"


def check(args: argparse.Namespace, log: LogFormat) -> None:
    """Refuse, before the supply is touched, what would end a run badly at
    its end or at its first sample: a plot without matplotlib or that
    cannot be written, a log that cannot be written or appended to, or
    that is there already and not to be replaced."""
    if args.plot:
        plot.require_matplotlib()
        check_writable(args.plot)
    path = args.csv or args.jsonl
    if path:
        check_writable(path)
        if existing(args) == "append":
            _check_appendable(path, log, as_csv=bool(args.csv))
        elif existing(args) == "refuse":
            _check_new(path)


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


def _check_new(path: str) -> None:
    """A log is never replaced unasked: a file there already that is not
    empty is refused, and nothing is written to it."""
    try:
        size = os.path.getsize(path)
    except FileNotFoundError:
        return
    except OSError as error:
        raise CommandError(Exit.FILE_ERROR, f"cannot read {path}: {error.strerror}") from None
    if size:
        raise _exists(path)


def _exists(path: str) -> CommandError:
    return CommandError(
        Exit.LOG_EXISTS,
        f"{path} is there already and not empty: --append adds to it, --overwrite replaces it; nothing was written",
    )


def _check_appendable(path: str, log: LogFormat, as_csv: bool) -> None:
    """A file to append to must end at a row's end, or be empty: a row cut
    short (a run that ended mid-row) would have the first new row glued to
    it. Which of its bytes are the rest of that row no one can tell, so it
    is refused rather than repaired. Its rows must have `log`'s columns:
    those of a CSV file's header, or of a JSON Lines file's first row."""
    try:
        with open(path, "rb") as existing:
            first_line = existing.readline().rstrip(b"\r\n").decode("utf-8", "replace")
            size = existing.seek(0, os.SEEK_END)
            if size:
                existing.seek(size - 1)
            ends_a_row = size == 0 or existing.read(1) == b"\n"
    except FileNotFoundError:
        return
    except OSError as error:
        raise CommandError(Exit.FILE_ERROR, f"cannot read {path}: {error.strerror}") from None
    if not ends_a_row:
        raise CommandError(
            Exit.FILE_ERROR,
            f"cannot append to {path}: its last row is cut short (no line end after it); remove that row, or end "
            "it with a line break if it is whole, then append",
        )
    if first_line:
        problem = _columns_problem(_columns(first_line, as_csv), log)
        if problem:
            raise CommandError(Exit.FILE_ERROR, f"cannot append to {path}: {problem}; write to a new file instead")


def _columns(first_line: str, as_csv: bool) -> list[str] | None:
    """The columns of a log whose first line is `first_line`; None when it
    is no row of a log."""
    if as_csv:
        return next(csv.reader([first_line]))
    try:
        row = json.loads(first_line)
    except ValueError:
        return None
    return list(row) if isinstance(row, dict) else None


def _columns_problem(columns: list[str] | None, log: LogFormat) -> str | None:
    """Why rows of `log` do not belong under `columns`, naming the columns
    that differ; None when they do."""
    if columns is None:
        return "its first line is no row of a log"
    if columns == list(log.fields):
        return None
    extra = [column for column in columns if column not in log.fields]
    missing = [field for field in log.fields if field not in columns]
    if not (extra or missing):
        return f"its columns are {log.kind} in another order"
    said = [f"it has {', '.join(extra)}"] if extra else []
    said += [f"it lacks {', '.join(missing)}"] if missing else []
    return f"its columns are not {log.kind}: " + "; ".join(said)


@contextlib.contextmanager
def writer(args: argparse.Namespace, log: LogFormat) -> Iterator[SampleWriter]:
    """A function that stores one sample in the file asked for (or nowhere).

    The file is opened at the first sample, so a run that fails before it
    leaves an existing file as it was. Each sample is written at once, so a
    run that ends badly keeps every sample taken before, and the file ends
    at a row's end however the run ends (see _Log).
    """
    path = args.csv or args.jsonl
    if path is None:
        yield lambda sample: None
        return
    stored = _Log(path, log.fields, as_csv=bool(args.csv), existing=existing(args))
    try:
        yield stored.write
    finally:
        stored.close()


class _Log:
    """A log file that ends at a row's end. Each row goes out whole, encoded
    first and written unbuffered, so nothing of it is left to go out later;
    a row that cannot be written whole (a full disk) is taken back, the file
    cut to the end of the row before, and the error told."""

    def __init__(self, path: str, fields: tuple[str, ...], as_csv: bool, existing: Existing) -> None:
        self.path = path
        self.fields = fields
        self.as_csv = as_csv
        self.existing = existing
        self.file: io.FileIO | None = None
        self.whole = 0  # bytes of whole rows in the file

    def write(self, sample: Mapping[str, Any]) -> None:
        if self.file is None:
            self._open()
        values = [sample[field] for field in self.fields]
        self._put(_csv_line(values) if self.as_csv else json.dumps(dict(zip(self.fields, values))) + "\n")

    def _open(self) -> None:
        try:
            self.file = io.FileIO(self.path, "w" if self.existing == "overwrite" else "a")
            self.whole = self.file.seek(0, os.SEEK_END)
        except OSError as error:
            raise self._error(error) from None
        if self.whole and self.existing == "refuse":  # written to since the run was checked
            raise _exists(self.path)
        if self.as_csv and self.whole == 0:  # a new or empty file: appended rows follow the header there is
            self._put(_csv_line(self.fields))

    def _put(self, row: str) -> None:
        assert self.file is not None
        data = memoryview(row.encode("utf-8"))
        written = 0
        try:
            while written < len(data):
                written += self.file.write(data[written:])
        except OSError as error:
            raise self._error(error, self._taken_back(written)) from None
        self.whole += written

    def _taken_back(self, written: int) -> str:
        """Cut the part of a row that was written; what to add to the error
        when that fails too."""
        assert self.file is not None
        if written == 0:
            return ""
        try:
            os.ftruncate(self.file.fileno(), self.whole)
        except OSError as error:
            return f"; its last row is cut short and could not be taken back ({error.strerror})"
        return ""

    def _error(self, error: OSError, more: str = "") -> CommandError:
        return CommandError(Exit.FILE_ERROR, f"cannot write {self.path}: {error.strerror}{more}")

    def close(self) -> None:
        # Nothing is left to write: an error closing it (a network file
        # system's late one) must not hide the status already chosen.
        if self.file is not None:
            with contextlib.suppress(OSError):
                self.file.close()


def _csv_line(values: Sequence[object]) -> str:
    """One CSV row with its line end, as csv writes it (None as empty)."""
    line = io.StringIO()
    csv.writer(line).writerow(values)
    return line.getvalue()
