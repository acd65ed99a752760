"""The I-V picture of sweeps: measured current against measured voltage,
points in constant-voltage and constant-current regulation told apart.
Needs matplotlib (the package's [plot] extra)."""

import os
from collections.abc import Iterable, Mapping, Sequence
from typing import Literal

from .results import Row

DPI = 100
# Filled circles for constant voltage, open squares for constant current.
MODE_MARKERS: dict[str, tuple[str, Literal["full", "none"]]] = {"CV": ("o", "full"), "CC": ("s", "none"), "XX": ("x", "full")}
MODE_NAMES = {"CV": "constant voltage", "CC": "constant current", "XX": "neither (output off)"}


def draw_iv(curves: Mapping[str, Sequence[Row]], path: str | os.PathLike[str], *,
            title: str = "I-V", size: tuple[int, int] = (1000, 750)) -> None:
    """Draw each sweep's answered rows, by its label, into a PNG at `path`."""
    # Figure without pyplot: no GUI backend, no global state, works headless.
    from matplotlib.figure import Figure
    from matplotlib.lines import Line2D

    width, height = size
    figure = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    axes = figure.subplots()
    for colour, (label, rows) in zip(figure_colours(), curves.items()):
        axes.plot(*_measured(rows), color=colour, linewidth=0.8, alpha=0.5, label=label)
        for mode, (marker, fill) in MODE_MARKERS.items():
            axes.plot(*_measured(row for row in rows if row["out_mode"] == mode),
                      linestyle="none", marker=marker, fillstyle=fill, color=colour)
    modes = [Line2D([], [], linestyle="none", marker=marker, fillstyle=fill, color="black", label=MODE_NAMES[mode])
             for mode, (marker, fill) in MODE_MARKERS.items()]
    curve_legend = axes.legend(loc="upper left")
    axes.add_artist(curve_legend)
    axes.legend(handles=modes, loc="lower right")
    axes.set_xlabel("measured voltage (V)")
    axes.set_ylabel("measured current (A)")
    axes.grid(True, alpha=0.4)
    axes.set_title(title)
    figure.savefig(path, format="png", dpi=DPI)


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
