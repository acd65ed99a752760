"""The I-V picture of sweeps: measured current against measured voltage,
points in constant-voltage and constant-current regulation told apart;
and the figure every picture of the package is drawn on and saved from
(the command's plots over time too). Needs matplotlib (the package's
[plot] extra)."""

import os
from collections import Counter
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Literal

from .results import Row

if TYPE_CHECKING:
    from matplotlib.axes import Axes
    from matplotlib.figure import Figure

DPI = 100
# The formats told by a file's suffix; any other suffix is written as PNG.
FORMATS = ("png", "svg", "pdf")
# Filled circles for constant voltage; open squares, larger, for constant
# current, so that one around a circle (the step at the limit) still shows.
MODE_MARKERS: dict[str, tuple[str, Literal["full", "none"], int]] = {
    "CV": ("o", "full", 8),
    "CC": ("s", "none", 14),
    "XX": ("x", "full", 8),
}
MODE_NAMES = {"CV": "constant voltage", "CC": "constant current", "XX": "neither (output off)"}


def draw_iv(
    curves: Mapping[str, Sequence[Row]],
    path: str | os.PathLike[str],
    *,
    title: str = "I-V",
    size: tuple[int, int] = (1000, 750),
) -> None:
    """Draw each sweep's answered rows, by its label, into `path`: SVG or
    PDF when its suffix says so, PNG otherwise."""
    from matplotlib.lines import Line2D

    figure = new_figure(size)
    axes = figure.subplots()
    modes_seen: set[str] = set()
    for colour, (label, rows) in zip(figure_colours(), curves.items()):
        modes_seen |= _draw_curve(axes, colour, label, rows)
    modes = [
        Line2D(
            [],
            [],
            linestyle="none",
            marker=marker,
            fillstyle=fill,
            markersize=marker_size,
            color="black",
            label=MODE_NAMES[mode],
        )
        for mode, (marker, fill, marker_size) in MODE_MARKERS.items()
        if mode in modes_seen
    ]
    curve_legend = axes.legend(loc="upper left")
    axes.add_artist(curve_legend)
    axes.legend(handles=modes, loc="lower right")
    axes.margins(x=0.1, y=0.06)
    axes.set_xlabel("measured voltage (V)")
    axes.set_ylabel("measured current (A)")
    axes.grid(True, alpha=0.4)
    axes.set_title(title)
    save(figure, path)


def new_figure(size: tuple[int, int]) -> "Figure":
    """An empty figure of `size` pixels, its parts laid out to fit."""
    # Figure without pyplot: no GUI backend, no global state, works headless.
    from matplotlib.figure import Figure

    width, height = size
    return Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")


def format_of(path: str | os.PathLike[str]) -> str | None:
    """The format a file's suffix names, None for one of no format drawn."""
    suffix = os.path.splitext(os.fspath(path))[1].lower().lstrip(".")
    return suffix if suffix in FORMATS else None


def save(figure: "Figure", path: str | os.PathLike[str]) -> None:
    """Write `figure` in the format the suffix of `path` names, PNG when
    it names none."""
    figure.savefig(path, format=format_of(path) or "png", dpi=DPI)


def _draw_curve(axes: "Axes", colour: str, label: str, rows: Sequence[Row]) -> set[str]:
    """One sweep's points, by regulation mode, on a thin line in the order
    they were taken; the modes that occur."""
    axes.plot(*_measured(rows), color=colour, linewidth=0.8, alpha=0.5, label=label)
    modes = set()
    for mode, (marker, fill, marker_size) in MODE_MARKERS.items():
        volts, amps = _measured(row for row in rows if row["out_mode"] == mode)
        axes.plot(volts, amps, linestyle="none", marker=marker, fillstyle=fill, markersize=marker_size, color=colour)
        if volts:
            modes.add(mode)
    # Steps that all landed on one point (constant current on a resistive
    # load holds one voltage) would hide behind one marker.
    for point, count in Counter(zip(*_measured(rows))).items():
        if count > 1:
            axes.annotate(f"{count} steps", point, textcoords="offset points", xytext=(10, -22), color=colour)
    return modes


def _measured(rows: Iterable[Row]) -> tuple[list[float], list[float]]:
    """Voltages and currents of the rows that got an answer."""
    volts, amps = [], []
    for row in rows:
        if row["voltage_real"] is not None and row["current_real"] is not None:
            volts.append(row["voltage_real"])
            amps.append(row["current_real"])
    return volts, amps


def figure_colours() -> list[str]:
    from matplotlib import rcParams

    return [entry["color"] for entry in rcParams["axes.prop_cycle"]]
