"""Where the monitor's samples go besides the screen: CSV or JSON Lines."""

import contextlib
import csv
import json
from collections.abc import Callable, Iterator

from .failures import FILE_ERROR, fail

# Time first, then what was measured, then what was asked for, then state.
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
)

SampleWriter = Callable[[dict], None]


@contextlib.contextmanager
def sample_writer(csv_path: str | None, jsonl_path: str | None) -> Iterator[SampleWriter]:
    """A function that stores one sample in the file asked for (or nowhere).

    Each sample is flushed at once, so a run that ends badly keeps every
    sample taken before.
    """
    path = csv_path or jsonl_path
    if path is None:
        yield lambda sample: None
        return
    try:
        stream = open(path, "w", newline="" if csv_path else None, encoding="utf-8")
    except OSError as error:
        fail(FILE_ERROR, f"cannot write {path}: {error.strerror}")
    writer = csv.DictWriter(stream, fieldnames=FIELDS) if csv_path else None
    put_row = writer.writerow if writer else lambda row: stream.write(json.dumps(row) + "\n")

    def stored(put: Callable, *args) -> None:
        # Flushed here, so that a full disk shows at this sample, named as
        # the file's fault, and not later as an error from somewhere else.
        try:
            put(*args)
            stream.flush()
        except OSError as error:
            fail(FILE_ERROR, f"cannot write {path}: {error.strerror}")

    def write(sample: dict) -> None:
        stored(put_row, {field: sample[field] for field in FIELDS})

    try:
        if writer:
            stored(writer.writeheader)
        yield write
    finally:
        # Every write was flushed at once, so only bytes whose write failed
        # (and was reported) can still be buffered; closing would fail on
        # them again and hide the status already chosen.
        with contextlib.suppress(OSError):
            stream.close()
