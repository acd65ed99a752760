"""Text forms of what the supply reports: tables, JSON, the lines of
monitor and of the workflows, and lengths of time."""

import json
import math
from collections.abc import Mapping, Sequence
from typing import Any

UNITS = {
    "current_real": "A",
    "voltage_real": "V",
    "current_set": "A",
    "voltage_max_set": "V",
    "voltage_set": "V",
}


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


def reading(key: str, value: Any) -> str:
    """One entry of the status record with its unit, to the supply's
    resolution of 1 mV or 1 mA."""
    if key in UNITS:
        return f"{value:.3f} {UNITS[key]}"
    return shown(value)


def status_table(record: Mapping[str, Any]) -> str:
    return aligned([(key, reading(key, value)) for key, value in record.items()])


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
    """One sample of the monitor, fixed columns so that lines line up."""
    if not sample["answered"]:
        return f"{sample['elapsed_s']:9.2f} s  no answer from the supply"
    line = (
        f"{sample['elapsed_s']:9.2f} s  {sample['voltage_real']:8.3f} V  "
        f"{sample['current_real']:7.3f} A  {sample['power_w']:8.3f} W  "
        f"{sample['out_mode']}  output {sample['out_status']}"
    )
    return line + ("  OVER-TEMPERATURE" if sample["beyond_temp"] else "")


def workflow_line(row: Mapping[str, Any], with_cycle: bool = False) -> str:
    """One row of a sweep, ramp or profile run: its step (and cycle), the
    set-points asked for by then, then what the monitor shows of a sample."""
    where = f"cycle {row['cycle']:>3} step {row['step']:>4}" if with_cycle else f"step {row['step']:>4}"
    asked = [_asked(row[key], unit) for key, unit in (("asked_voltage", "V"), ("asked_current", "A"))]
    return f"{where}  set {asked[0]} {asked[1]}  {monitor_line(row)}"


def _asked(value: float | None, unit: str) -> str:
    return f"{'-':>7} {unit}" if value is None else f"{value:7.3f} {unit}"


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
