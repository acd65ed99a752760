"""Benchmarks of the driver: its own cost per command, latency and CPU time
against virtual supplies, many supplies from many threads, and a slow line.

    python bench/run.py [--quick] [--out bench/results.json] [--plot docs/bench.png]

Needs qm4410-sim on PATH or named in $QM4410_SIM, and pyserial and
matplotlib. Prints the tables, then a summary in markdown for the README.
"""

import argparse
import json
import os
import platform
import sys
import time

import driver_cost
import latency
import line_sync
import threads
from plot import save_plot
from report import full_report, summary
from verdicts import judge

import qm4410


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs (under a minute)")
    parser.add_argument("--out", default="bench/results.json", help="where the results go, as JSON")
    parser.add_argument("--plot", default="docs/bench.png", help="where the figure goes; '' for none")
    return parser.parse_args()


def describe_run(quick: bool) -> dict:
    return {
        "quick": quick,
        "python": platform.python_version(),
        "machine": platform.machine(),
        "cpus": os.cpu_count(),
        "driver": qm4410.__file__,
        "cost_repeats": driver_cost.timing_plan(quick)[0],
        "pause_rounds": latency.rounds_against_pause(quick),
        "cost_statistic": "min of timeit repeats",
        "latency_statistic": "median",
    }


def run_all(quick: bool) -> dict:
    started = time.perf_counter()
    results = {"meta": describe_run(quick)}
    results["driver_cost"] = driver_cost.measure(quick)
    results["against_pause"] = latency.measure_against_pause(quick)
    results["threads"] = threads.measure(quick)
    results["slow_line"] = latency.measure_slow_line(quick)
    results["line_sync"] = line_sync.measure(quick)
    results["meta"]["seconds"] = time.perf_counter() - started
    return results


def write_json(path: str, document: dict):
    os.makedirs(os.path.dirname(path) or ".", exist_ok=True)
    with open(path, "w") as out:
        json.dump(document, out, indent=2)
        out.write("\n")


def main():
    arguments = parse_arguments()
    results = run_all(arguments.quick)
    verdicts = judge(results)
    write_json(arguments.out, {**results, "targets_met": verdicts})
    if arguments.plot:
        os.makedirs(os.path.dirname(arguments.plot) or ".", exist_ok=True)
        save_plot(results, arguments.plot)
    print(full_report(results, verdicts))
    print()
    print(summary(results, verdicts, arguments.plot or None))
    print(f"\n(run took {results['meta']['seconds']:.0f} s; results in {arguments.out})", file=sys.stderr)


if __name__ == "__main__":
    main()
