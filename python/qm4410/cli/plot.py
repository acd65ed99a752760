"""The pictures of a run: voltage, current and power against time (the
monitor's, a profile's, a ramp's), as PNG, SVG or PDF."""

import math
import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from .exits import CommandError, Exit

DPI = 100
FORMATS = {".png": "png", ".svg": "svg", ".pdf": "pdf"}
# Smaller leaves no room for three traces; larger takes memory by the
# hundred megabytes while drawing.
SIDE_PIXELS = (300, 5000)
TRACES = (
    ("voltage_real", "voltage (V)"),
    ("current_real", "current (A)"),
    ("power_w", "power (W)"),
)
GAP_STYLE = {"color": "tab:red", "alpha": 0.3, "linewidth": 1}


def format_of(path: str) -> str | None:
    """The format the file's extension names, None for one not drawn."""
    return FORMATS.get(os.path.splitext(path)[1].lower())


def require_matplotlib() -> None:
    """Refuse --plot before the supply is touched, not after a long run."""
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        raise CommandError(Exit.MISSING_DEPENDENCY, "--plot needs matplotlib: pip install 'qm4410[plot]'") from None


def draw_if_answered(
    samples: Sequence[Mapping[str, Any]], draw_them: Callable[[], None], noun: str = "sample"
) -> None:
    """`draw_them()` when the supply answered at least one of the samples;
    otherwise say why there is no plot."""
    if any(sample["answered"] for sample in samples):
        draw_them()
    elif samples:
        plural = "s" if len(samples) > 1 else ""
        print(f"qm4410: no plot: the supply answered none of the {len(samples)} {noun}{plural}", file=sys.stderr)
    else:
        print(f"qm4410: no plot: no {noun} was taken", file=sys.stderr)


def draw(samples: Sequence[Mapping[str, Any]], path: str, size: tuple[int, int], title: str = "qm4410 monitor") -> None:
    """Draw the samples, at least one of them answered. A sample the supply
    did not answer breaks the lines and is marked across all three traces."""
    # Figure without pyplot: no GUI backend, no global state, works headless.
    from matplotlib.figure import Figure

    width, height = size
    figure = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    axes = figure.subplots(len(TRACES), 1, sharex=True)
    elapsed = [sample["elapsed_s"] for sample in samples]
    missed = [sample["elapsed_s"] for sample in samples if not sample["answered"]]
    for ax, (key, label) in zip(axes, TRACES):
        ax.plot(elapsed, [math.nan if sample[key] is None else sample[key] for sample in samples], marker=".")
        if missed:
            ax.vlines(missed, 0, 1, transform=ax.get_xaxis_transform(), **GAP_STYLE)
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.4)
    if missed:
        axes[0].legend([axes[0].collections[-1]], [f"no answer ({len(missed)})"], loc="upper right")
    axes[-1].set_xlabel("time since start (s)")
    figure.suptitle(f"{title} from {samples[0]['timestamp']}")
    save(figure, path)


def save(figure, path: str) -> None:
    """Write `figure` in the format the extension of `path` names."""
    try:
        figure.savefig(path, format=format_of(path), dpi=DPI)
    except OSError as error:
        raise CommandError(Exit.FILE_ERROR, f"cannot write the plot {path}: {error.strerror}") from None
