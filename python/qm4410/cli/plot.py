"""The monitor's picture: voltage, current and power against time, as PNG,
SVG or PDF."""

import math
import os

from .failures import FILE_ERROR, MISSING_DEPENDENCY, CommandError

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
        raise CommandError(MISSING_DEPENDENCY, "--plot needs matplotlib: pip install 'qm4410[plot]'") from None


def draw(samples: list[dict], path: str, size: tuple[int, int]) -> None:
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
    figure.suptitle(f"qm4410 monitor from {samples[0]['timestamp']}")
    try:
        figure.savefig(path, format=format_of(path), dpi=DPI)
    except OSError as error:
        raise CommandError(FILE_ERROR, f"cannot write the plot {path}: {error.strerror}") from None
