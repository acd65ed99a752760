"""Results as text: the full tables, and a short summary for the README;
and the command line every benchmark of its own file shares."""

import argparse
import json
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any

from commands import label
from verdicts import LOOK_PCT, PAUSE_OVERHEAD_PCT, THREAD_SCALING, speedup_target


def table(headers: list[str], rows: list[list]) -> str:
    """A markdown table, padded so that it also reads well in a terminal."""
    cells = [headers] + [[str(c) for c in row] for row in rows]
    widths = [max(len(row[i]) for row in cells) for i in range(len(headers))]
    lines = ["| " + " | ".join(c.ljust(w) for c, w in zip(row, widths)) + " |" for row in cells]
    lines.insert(1, "|" + "|".join("-" * (w + 2) for w in widths) + "|")
    return "\n".join(lines)


def mark(met: bool) -> str:
    return "yes" if met else "NO"


def run_benchmark(
    doc: str,
    quick_help: str,
    out: str,
    measure: Callable[..., dict],
    judge: Callable[[dict], dict],
    report: Callable[[dict, dict], str],
    extra: Sequence[tuple[str, dict[str, Any]]] = (),
) -> None:
    """A benchmark's command line (`--quick`, `--out`, and the `extra`
    options, each its name and add_argument's keywords): `measure(quick)`,
    given the extra options given as keywords, gives the results, with
    their "meta"; `judge` says which targets they met; both go to `--out`
    as JSON, and `report` prints them."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help=quick_help)
    parser.add_argument("--out", default=out, help="where the results go, as JSON")
    for option, keywords in extra:
        parser.add_argument(option, **keywords)
    arguments = parser.parse_args()
    names = [option.removeprefix("--").replace("-", "_") for option, _ in extra]
    given = {name: getattr(arguments, name) for name in names if getattr(arguments, name) is not None}
    started = time.perf_counter()
    results = measure(arguments.quick, **given)
    results["meta"]["seconds_taken"] = time.perf_counter() - started
    verdicts = judge(results)
    with open(arguments.out, "w") as file:
        json.dump({**results, "targets_met": verdicts}, file, indent=2)
        file.write("\n")
    print(report(results, verdicts))
    print(f"\n(run took {results['meta']['seconds_taken']:.0f} s; results in {arguments.out})", file=sys.stderr)


def cost_table(results: dict, verdicts: dict) -> str:
    rows = [
        [
            label(r["command"]),
            f"{r['qm4410_ns']:.0f}",
            f"{r['plain_ns']:.0f}",
            f"{r['speedup']:.1f}x",
            f"{speedup_target(r['command']):.0f}x",
            mark(verdicts["speedup"][r["command"]]),
        ]
        for r in results["driver_cost"]
    ]
    return table(["command", "qm4410 ns", "plain Python ns", "speed-up", "target", "met"], rows)


def pause_table(results: dict, verdicts: dict) -> str:
    own = {r["command"]: r["qm4410_ns"] / 1e3 for r in results["driver_cost"]}
    rows = [
        [
            label(r["command"]),
            f"{r['pause_ms']:.3f}",
            f"{r['latency_ms']:.3f}",
            f"{r['overhead_pct']:.2f}",
            mark(verdicts["pause_overhead"][r["command"]]),
            f"{r['bare_latency_ms']:.3f}",
            f"{r['qm4410_cpu_us']:.0f}",
            f"{r['plain_cpu_us']:.0f}",
            f"{r['bare_cpu_us']:.0f}",
            f"{own[r['command']]:.2f}",
            sum(r[f"{name}_unanswered"] for name in ("qm4410", "plain", "bare")),
        ]
        for r in results["against_pause"]
    ]
    headers = [
        "command",
        "pause ms",
        "latency ms",
        "over pause %",
        f"< {PAUSE_OVERHEAD_PCT:g} %",
        "bare exchange ms",
        "CPU us qm4410",
        "CPU us plain",
        "CPU us bare",
        "own us (a)",
        "unanswered",
    ]
    return table(headers, rows)


def thread_table(results: dict, verdicts: dict) -> str:
    rows = [
        [
            r["supplies"],
            f"{r['commands_per_s']:.0f}",
            f"{r['target_per_s']:.0f}",
            r["answered"],
            r["unanswered"],
            mark(verdicts["thread_scaling"][str(r["supplies"])]),
        ]
        for r in results["threads"]
    ]
    headers = ["supplies", "commands/s", f"{THREAD_SCALING:g} x N x single", "answered", "unanswered", "met"]
    return table(headers, rows)


def slow_line_table(results: dict, verdicts: dict) -> str:
    slow = results["slow_line"]
    limit = slow["wire_ms"] + slow["poll_ms"]
    rows = [
        [
            label(r["command"]),
            f"{r['median_ms']:.1f}",
            f"{r['max_ms']:.1f}",
            f"{slow['wire_ms']:.1f}",
            f"{limit:.1f}",
            r["unanswered"],
            mark(verdicts["slow_line"][r["command"]]),
        ]
        for r in slow["rows"]
    ]
    return table(["command", "median ms", "max ms", "wire ms", "limit ms", "unanswered", "met"], rows)


def line_sync_table(results: dict, verdicts: dict) -> str:
    healthy, after = results["line_sync"]["healthy"], results["line_sync"]["after_failure"]
    rows = [
        ["read_dev_status, qm4410", f"{healthy['qm4410_ms']:.3f}", ""],
        ["read_dev_status, plain Python", f"{healthy['plain_ms']:.3f}", ""],
        [
            "read_dev_status, plain Python without the look",
            f"{healthy['plain_without_look_ms']:.3f}",
            f"difference {healthy['plain_difference_pct']:+.2f} % of qm4410's",
        ],
        [
            "the look alone (inWaiting, nothing waiting)",
            f"{healthy['look_us'] / 1e3:.4f}",
            f"{healthy['look_pct']:.3f} % of qm4410's; < {LOOK_PCT:g} %: {mark(verdicts['look_before_writing'])}",
        ],
        [
            "read_dev_status right after an unanswered one",
            f"{after['median_ms']:.1f}",
            f"max {after['max_ms']:.1f} ms; {after['dropped']} dropped, {after['unanswered_after']} unanswered after",
        ],
    ]
    return table(["what", "median ms", "note"], rows)


def full_report(results: dict, verdicts: dict) -> str:
    meta = results["meta"]
    sections = [
        (
            f"(a) Driver's own cost per command; C-level port and clock; min of {meta['cost_repeats']} timeit repeats",
            cost_table,
        ),
        (
            "(b) Latency against the 10 ms pause on a pseudo-terminal (medians of "
            f"{meta['pause_rounds']} interleaved rounds); CPU time per command",
            pause_table,
        ),
        ("(c) N supplies from N threads, read_dev_status", thread_table),
        (f"(d) Latency at {results['slow_line']['baud']} baud", slow_line_table),
        (
            "(e) Keeping replies with their requests: the look before each write, the wait after a failure",
            line_sync_table,
        ),
    ]
    return "\n\n".join(f"## {title}\n\n{render(results, verdicts)}" for title, render in sections)


def summary(results: dict, verdicts: dict, plot_path: str | None) -> str:
    cost = results["driver_cost"]
    status = next(r for r in cost if r["command"] == "read_dev_status")
    pause = results["against_pause"]
    overheads = [r["overhead_pct"] for r in pause]
    cpu = sum(r["qm4410_cpu_us"] for r in pause), sum(r["plain_cpu_us"] for r in pause)
    own_us = sum(r["qm4410_ns"] for r in cost if r["command"] != "show_device_version") / 1e3
    biggest = results["threads"][-1]
    slow = results["slow_line"]
    worst_slow = max(r["median_ms"] for r in slow["rows"])
    lines = [
        "### Performance",
        "",
        f"- Driver's own cost: `read_dev_status` {status['qm4410_ns']:.0f} ns against {status['plain_ns']:.0f} ns "
        f"for the same command in plain Python ({status['speedup']:.1f}x); the commands range from "
        f"{min(r['speedup'] for r in cost):.1f}x to {max(r['speedup'] for r in cost):.1f}x.",
        f"- On a pseudo-terminal a command takes the 10 ms pause plus {min(overheads):.2f} to {max(overheads):.2f} %; "
        f"the bare pyserial calls of an exchange alone cost as much. CPU per command, all nine together: "
        f"{cpu[0]:.0f} us against {cpu[1]:.0f} us for plain Python, of which the driver's own work is "
        f"{own_us:.1f} us.",
        f"- {biggest['supplies']} supplies from {biggest['supplies']} threads: {biggest['commands_per_s']:.0f} "
        f"commands/s, {biggest['commands_per_s'] / (biggest['supplies'] * results['threads'][0]['commands_per_s']):.2f}"
        " of N times the single rate.",
        f"- At {slow['baud']} baud a command takes at most {worst_slow:.1f} ms (median), against "
        f"{slow['wire_ms']:.1f} ms for its 52 bytes on the wire.",
        f"- The look at what waits before each write costs {results['line_sync']['healthy']['look_us']:.1f} us, "
        f"{results['line_sync']['healthy']['look_pct']:.3f} % of a command on a pseudo-terminal; a command right "
        f"after one that got no reply takes {results['line_sync']['after_failure']['median_ms']:.0f} ms (median), "
        "the wait for a late reply included.",
    ]
    if plot_path:
        lines += ["", f"![Benchmarks]({plot_path})"]
    return "\n".join(lines)
