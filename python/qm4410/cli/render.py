"""Text forms of what the supply reports: tables, JSON, the lines of
monitor and of the workflows, and lengths of time."""

import json
import math
from collections.abc import Mapping, Sequence
from typing import Any

from qm4410.supply.status import Status, named

# The unit of each field of a status that has one.
UNITS = {
    "measured_voltage": "V",
    "measured_current": "A",
    "power": "W",
    "voltage": "V",
    "current_limit": "A",
    "max_voltage": "V",
}
# The monitor's columns, each headed by the name of what it shows; the
# values of each are right-aligned under its heading.
MONITOR_HEADER = f"{'elapsed_s':>10}  {'measured_voltage':>16}  {'measured_current':>16}  {'power':>9}  mode  output"


def aligned(rows: Sequence[Sequence[str]]) -> str:
    """Rows of cells as columns padded to their widest cell (the last one
    is not padded, so no line ends in blanks)."""
    if not rows:
        return ""
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]) - 1)]
    return "\n".join("  ".join([cell.ljust(width) for cell, width in zip(row, widths)] + [row[-1]]) for row in rows)


def shown(value: object) -> str:
    """A value as a person reads it; characters that a terminal would eat
    (the identity may hold NUL or control bytes) are written as escapes."""
    if isinstance(value, bool):
        return "yes" if value else "no"
    text = str(value)
    return "".join(c if c.isprintable() else f"\\x{ord(c):02x}" for c in text)


def reading(field: str, value: Any) -> str:
    """One value of a status, named as its field: with its unit, to the
    supply's resolution of 1 mV or 1 mA; the output on or off."""
    if field in UNITS:
        return f"{value:.3f} {UNITS[field]}"
    if field == "output" and isinstance(value, bool):
        return "on" if value else "off"
    return shown(value)


def status_table(status: Status) -> str:
    return aligned([(field, reading(field, value)) for field, value in named(status).items()])


def as_json(value: object) -> str:
    return json.dumps(value, indent=2)


def identity(version: Mapping[str, object]) -> str:
    """The identity on one line: "4410 SN 076787041, software 373"."""
    return f"{shown(version['model'])} SN {shown(version['SN'])}, software {shown(version['soft_version'])}"


def identity_table(version: Mapping[str, object]) -> str:
    return aligned(
        [
            ("model", shown(version["model"])),
            ("serial number", shown(version["SN"])),
            ("software version", shown(version["soft_version"])),
        ]
    )


def monitor_line(sample: Mapping[str, Any]) -> str:
    """One sample of the monitor, in the columns of MONITOR_HEADER."""
    elapsed = f"{sample['elapsed_s']:8.2f} s"
    if not sample["answered"]:
        return f"{elapsed}  no answer from the supply"
    line = (
        f"{elapsed}  {reading('measured_voltage', sample['measured_voltage']):>16}  "
        f"{reading('measured_current', sample['measured_current']):>16}  {reading('power', sample['power']):>9}  "
        f"{sample['mode']:>4}  {reading('output', sample['output'])}"
    )
    return line + ("  OVER-TEMPERATURE" if sample["over_temperature"] else "")


def workflow_header(with_cycle: bool = False) -> str:
    """The headings of workflow_line()'s columns."""
    where = f"{'cycle':>5}  {'step':>4}" if with_cycle else f"{'step':>4}"
    return f"{where}  {'asked_voltage':>13}  {'asked_current':>13}  {MONITOR_HEADER}"


def workflow_line(sample: Mapping[str, Any], with_cycle: bool = False) -> str:
    """One sample of a sweep, ramp or profile run: its step (and cycle), the
    set-points asked for by then, then what the monitor shows of a sample."""
    where = f"{sample['cycle']:>5}  {sample['step']:>4}" if with_cycle else f"{sample['step']:>4}"
    asked = [
        _asked(field, sample[key]) for field, key in (("voltage", "asked_voltage"), ("current_limit", "asked_current"))
    ]
    return f"{where}  {asked[0]:>13}  {asked[1]:>13}  {monitor_line(sample)}"


def _asked(field: str, value: float | None) -> str:
    return "-" if value is None else reading(field, value)


def duration(seconds: float) -> str:
    """12 s, 4:05 or 1:02:03, in whole seconds rounded up (so that a time
    left never reads 0 s while something is still to come)."""
    hours, rest = divmod(math.ceil(seconds - 1e-9), 3600)
    minutes, whole_seconds = divmod(rest, 60)
    if hours:
        return f"{hours}:{minutes:02d}:{whole_seconds:02d}"
    if minutes:
        return f"{minutes}:{whole_seconds:02d}"
    return f"{whole_seconds} s"
