"""One figure of the timings on a line: (b) to (d) side by side."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)
from commands import label  # noqa: E402


def short(command: str) -> str:
    return label(command).replace("_", " ").strip()


def plot_against_pause(axes, rows):
    names = [short(r["command"]) for r in rows]
    overhead_us = [(r["latency_ms"] - r["pause_ms"]) * 1e3 for r in rows]
    bare_us = [(r["bare_latency_ms"] - r["pause_ms"]) * 1e3 for r in rows]
    pause_us = rows[0]["pause_ms"] * 1e3
    y = range(len(rows))
    axes.barh([i + 0.2 for i in y], overhead_us, height=0.4, label="qm4410 command")
    axes.barh([i - 0.2 for i in y], bare_us, height=0.4, label="bare pyserial exchange")
    axes.axvline(pause_us / 100, color="red", linestyle="--", label="1 % of the pause")
    axes.set_yticks(list(y), names)
    axes.set_xlabel("time above the 10 ms pause (us)")
    axes.set_title("(b) latency on a pseudo-terminal")
    legend_below(axes)


def legend_below(axes):
    axes.legend(fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.13), ncols=2)


def plot_threads(axes, rows):
    supplies = [r["supplies"] for r in rows]
    axes.plot(supplies, [r["commands_per_s"] for r in rows], "o-", label="measured")
    axes.plot(supplies, [r["target_per_s"] for r in rows], "--", color="red", label="0.9 x N x single rate")
    axes.set_xscale("log", base=2)
    axes.set_yscale("log")
    axes.set_xticks(supplies, [str(n) for n in supplies])
    axes.set_xlabel("supplies, one thread each")
    axes.set_ylabel("commands per second")
    axes.set_title("(c) many supplies at once")
    legend_below(axes)


def plot_slow_line(axes, slow):
    rows = slow["rows"]
    y = range(len(rows))
    axes.barh(list(y), [r["median_ms"] for r in rows], label="median latency")
    axes.axvline(slow["wire_ms"], color="black", label=f"wire time, {slow['wire_ms']:.1f} ms")
    axes.axvline(slow["wire_ms"] + slow["poll_ms"], color="red", linestyle="--", label="wire time + one poll")
    axes.set_yticks(list(y), [short(r["command"]) for r in rows])
    axes.set_xlim(slow["wire_ms"] - 10, slow["wire_ms"] + 2 * slow["poll_ms"])
    axes.set_xlabel("ms")
    axes.set_title(f"(d) at {slow['baud']} baud")
    legend_below(axes)


def save_plot(results: dict, path: str):
    figure, (b, c, d) = plt.subplots(1, 3, figsize=(17, 6), constrained_layout=True)
    plot_against_pause(b, results["against_pause"])
    plot_threads(c, results["threads"])
    plot_slow_line(d, results["slow_line"])
    figure.savefig(path, dpi=110)
    plt.close(figure)
