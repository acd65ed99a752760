"""The monitor's picture: voltage, current and power against time, as PNG."""

from .failures import FILE_ERROR, MISSING_DEPENDENCY, fail

DPI = 100
TRACES = (
    ("voltage_real", "voltage (V)"),
    ("current_real", "current (A)"),
    ("power_w", "power (W)"),
)


def require_matplotlib() -> None:
    """Refuse --plot before the supply is touched, not after a long run."""
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        fail(MISSING_DEPENDENCY, "--plot needs matplotlib: pip install 'qm4410[plot]'")


def draw(samples: list[dict], path: str, size: tuple[int, int]) -> None:
    # Figure without pyplot: no GUI backend, no global state, works headless.
    from matplotlib.figure import Figure

    width, height = size
    figure = Figure(figsize=(width / DPI, height / DPI), dpi=DPI, layout="constrained")
    axes = figure.subplots(len(TRACES), 1, sharex=True)
    elapsed = [sample["elapsed_s"] for sample in samples]
    for ax, (key, label) in zip(axes, TRACES):
        ax.plot(elapsed, [sample[key] for sample in samples], marker=".")
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.4)
    axes[-1].set_xlabel("time since start (s)")
    figure.suptitle(f"qm4410 monitor from {samples[0]['timestamp']}")
    try:
        figure.savefig(path, format="png", dpi=DPI)
    except OSError as error:
        fail(FILE_ERROR, f"cannot write the plot {path}: {error.strerror}")
