"""The picture of a run over time (the monitor's, a ramp's, a profile's):
measured voltage, current and power, the set-points the supply held drawn
beside them as steps (a set-point holds until the next sample; it does not
slope), and the spans of constant-voltage and constant-current regulation
shaded. PNG, SVG or PDF, on the figure the I-V plot is drawn on."""

import math
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from qm4410.workflows import iv_plot

from .exits import CommandError, Exit

if TYPE_CHECKING:
    from matplotlib.axes import Axes

Sample = Mapping[str, Any]

# Smaller leaves no room for three traces; larger takes memory by the
# hundred megabytes while drawing.
SIDE_PIXELS = (300, 5000)
# What is measured, the set-point held for it, and the axis's label.
TRACES: tuple[tuple[str, str | None, str], ...] = (
    ("measured_voltage", "voltage", "voltage (V)"),
    ("measured_current", "current_limit", "current (A)"),
    ("power", None, "power (W)"),
)
SETPOINT_NAMES = {"voltage": "voltage set-point", "current_limit": "current limit"}
MODE_SHADES = {"CV": ("tab:blue", "constant voltage (CV)"), "CC": ("tab:orange", "constant current (CC)")}
SHADE_ALPHA = 0.12
GAP_STYLE = {"color": "tab:red", "alpha": 0.3, "linewidth": 1}
# From about this many samples on, drawing takes a second or more (a night
# of monitor at 1 s is 43200): the person waiting is told what goes on.
SLOW_TO_DRAW = 10_000


def require_matplotlib() -> None:
    """Refuse --plot before the supply is touched, not after a long run."""
    try:
        import matplotlib.figure  # noqa: F401
    except ImportError:
        raise CommandError(Exit.MISSING_DEPENDENCY, "--plot needs matplotlib: pip install 'qm4410[plot]'") from None


def draw_if_answered(samples: Sequence[Sample], draw_them: Callable[[], None], noun: str = "sample") -> None:
    """`draw_them()` when the supply answered at least one of the samples;
    otherwise say why there is no plot."""
    if any(sample["answered"] for sample in samples):
        draw_them()
    elif samples:
        plural = "s" if len(samples) > 1 else ""
        print(f"qm4410: no plot: the supply answered none of the {len(samples)} {noun}{plural}", file=sys.stderr)
    else:
        print(f"qm4410: no plot: no {noun} was taken", file=sys.stderr)


def draw(samples: Sequence[Sample], path: str, size: tuple[int, int], title: str = "qm4410 monitor") -> None:
    """Draw the samples, at least one of them answered. A sample the supply
    did not answer breaks the lines and is marked across all three traces."""
    if len(samples) >= SLOW_TO_DRAW:
        print(f"qm4410: drawing the plot {path} ({len(samples)} samples) ...", file=sys.stderr, flush=True)
    figure = iv_plot.new_figure(size)
    axes = figure.subplots(len(TRACES), 1, sharex=True)
    elapsed = [sample["elapsed_s"] for sample in samples]
    missed = [sample["elapsed_s"] for sample in samples if not sample["answered"]]
    spans = mode_spans(samples)
    for ax, (measured, held, label) in zip(axes, TRACES):
        # What every trace shares (the modes, the gaps) is named once, on the first.
        shared = ax is axes[0]
        for mode, (colour, name) in MODE_SHADES.items():
            ranges = [(start, end - start) for start, end, of in spans if of == mode]
            if ranges:  # one artist for all of a mode's spans: a supply that flips often makes thousands
                ax.broken_barh(
                    ranges,
                    (0, 1),
                    transform=ax.get_xaxis_transform(),
                    color=colour,
                    alpha=SHADE_ALPHA,
                    linewidth=0,
                    label=name if shared else None,
                )
        ax.plot(elapsed, _values(samples, measured), marker=".", color="black", linewidth=1, label="measured")
        if held is not None:
            ax.plot(
                elapsed,
                _values(samples, held),
                drawstyle="steps-post",
                color="tab:green",
                linewidth=1.5,
                linestyle="--",
                label=SETPOINT_NAMES[held],
            )
        if missed:
            ax.vlines(
                missed,
                0,
                1,
                transform=ax.get_xaxis_transform(),
                label=f"no answer ({len(missed)})" if shared else None,
                **GAP_STYLE,
            )
        ax.set_ylabel(label)
        ax.grid(True, alpha=0.4)
        if held is not None:
            _legend(ax)
    axes[-1].set_xlabel("time since start (s)")
    figure.suptitle(f"{title} from {samples[0]['timestamp']}")
    try:
        iv_plot.save(figure, path)
    except OSError as error:
        raise CommandError(Exit.FILE_ERROR, f"cannot write the plot {path}: {error.strerror}") from None


def mode_spans(samples: Sequence[Sample]) -> list[tuple[float, float, str]]:
    """Where the supply regulated the voltage (CV) or the current (CC): each
    run of samples in one mode, as (start, end, mode), a sample's mode held
    until the next sample, as its set-points are."""
    spans: list[tuple[float, float, str]] = []
    for sample, after in zip(samples, samples[1:]):
        mode = sample["mode"]
        if mode not in MODE_SHADES:  # neither (the output off), or unanswered
            continue
        start, end = sample["elapsed_s"], after["elapsed_s"]
        if spans and spans[-1][2] == mode and spans[-1][1] == start:
            spans[-1] = (spans[-1][0], end, mode)
        else:
            spans.append((start, end, mode))
    return spans


def _values(samples: Sequence[Sample], key: str) -> list[float]:
    return [math.nan if sample[key] is None else sample[key] for sample in samples]


def _legend(ax: "Axes") -> None:
    # A fixed corner: finding the emptiest one takes long over many samples.
    ax.legend(loc="upper right", fontsize="small")
