"""How the workflows keep time against a virtual supply: what a sweep step
costs beyond its dwell, and how far a profile of 1-second steps has drifted
from its plan by its end.

    python bench/workflow_timing.py [--quick] [--profile-steps N] [--out bench/workflow_results.json]

The full run holds a profile for 10 minutes (600 steps); --quick makes it
30 steps and fewer sweep steps.
"""

import argparse
import json
import statistics
import sys
import time

from driver_cost import quiet_stdout
from simulator import connected_driver, virtual_supply

from qm4410.workflows import parse_profile, run_profile, sweep
from qm4410.workflows.schedule import TICK_S

DWELL_S = 0.05
DRIFT_TARGET_S = 0.010  # one poll interval of the driver


class Stamped:
    """A driver whose set_out_voltage calls are timed as they go out."""

    def __init__(self, driver):
        self.driver = driver
        self.sent_at = []

    def set_out_voltage(self, voltage):
        self.sent_at.append(time.monotonic())
        return self.driver.set_out_voltage(voltage)

    def __getattr__(self, name):
        return getattr(self.driver, name)


def exchange_ms(driver, count: int) -> float:
    """Median time of one status read: one exchange."""
    times = []
    for _ in range(count):
        start = time.perf_counter()
        if driver.read_dev_status() is None:
            raise RuntimeError("a status read went unanswered while timing exchanges")
        times.append(time.perf_counter() - start)
    return statistics.median(times) * 1e3


def measure_sweep_step(steps: int) -> dict:
    """Period between a sweep's rows, less its dwell: one setting, one
    status read and what the workflow adds."""
    row_times = []
    with virtual_supply("--load", "8") as port, connected_driver(port) as driver, quiet_stdout():
        exchange = exchange_ms(driver, 50)
        outcome = sweep(
            driver,
            voltage=(0, steps * 0.01, 0.01),
            current=1.0,
            dwell=DWELL_S,
            on_row=lambda row: row_times.append(time.perf_counter()),
        )
    if not all(row["answered"] for row in outcome.rows):
        raise RuntimeError("the sweep had unanswered readings; its timing would include their waits")
    beyond = [(later - earlier - DWELL_S) * 1e3 for earlier, later in zip(row_times, row_times[1:])]
    target = 2 * exchange + TICK_S * 1e3
    return {
        "steps": len(row_times),
        "dwell_ms": DWELL_S * 1e3,
        "exchange_ms": exchange,
        "beyond_dwell_median_ms": statistics.median(beyond),
        "beyond_dwell_max_ms": max(beyond),
        "target_ms": target,
        "met": statistics.median(beyond) <= target,
    }


def measure_profile_drift(steps: int) -> dict:
    """Lateness of each step's first setting against the plan, 1-second
    steps, a reading every 0.25 s within each."""
    text = "duration,voltage,current,output\n" + "".join(f"1,{1 + k % 2},1,on\n" for k in range(steps))
    with virtual_supply("--load", "8") as port, connected_driver(port) as driver, quiet_stdout():
        stamped, profile = Stamped(driver), parse_profile(text, "csv")
        began = time.monotonic()
        outcome = run_profile(stamped, profile, interval=0.25)
        ended = time.monotonic()
    first = stamped.sent_at[0]
    late_ms = [(sent - first - k) * 1e3 for k, sent in enumerate(stamped.sent_at)]
    return {
        "steps": steps,
        "rows": len(outcome.rows),
        "unanswered": sum(not row["answered"] for row in outcome.rows),
        "first_step_after_start_ms": (first - began) * 1e3,
        "last_step_late_ms": late_ms[-1],
        "most_late_ms": max(late_ms),
        "median_late_ms": statistics.median(late_ms),
        "run_over_plan_ms": (ended - first - steps) * 1e3,
        "target_ms": DRIFT_TARGET_S * 1e3,
        "met": late_ms[-1] < DRIFT_TARGET_S * 1e3,
    }


def report(results: dict) -> str:
    step, drift = results["sweep_step"], results["profile_drift"]
    return "\n".join(
        [
            f"sweep step beyond its {step['dwell_ms']:.0f} ms dwell, {step['steps']} steps: median "
            f"{step['beyond_dwell_median_ms']:.2f} ms, max {step['beyond_dwell_max_ms']:.2f} ms; target "
            f"{step['target_ms']:.2f} ms (two exchanges of {step['exchange_ms']:.2f} ms "
            f"and a {TICK_S * 1e3:.0f} ms tick)"
            f": {'met' if step['met'] else 'NOT met'}",
            f"profile of {drift['steps']} 1-second steps: last step {drift['last_step_late_ms']:.2f} ms late, "
            f"at most {drift['most_late_ms']:.2f} ms, median {drift['median_late_ms']:.2f} ms; "
            f"the run returned {drift['run_over_plan_ms']:.2f} ms after its planned end (switch-off included); "
            f"{drift['unanswered']} of {drift['rows']} readings unanswered; "
            f"target under {drift['target_ms']:.0f} ms at the end: {'met' if drift['met'] else 'NOT met'}",
        ]
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="30 profile steps and fewer sweep steps")
    parser.add_argument("--profile-steps", type=int, help="how many 1-second steps (default 600, 30 with --quick)")
    parser.add_argument("--out", default="bench/workflow_results.json", help="where the results go, as JSON")
    arguments = parser.parse_args()
    profile_steps = arguments.profile_steps or (30 if arguments.quick else 600)
    print(f"sweep steps, then {profile_steps} s of profile...", file=sys.stderr)
    results = {
        "quick": arguments.quick,
        "sweep_step": measure_sweep_step(40 if arguments.quick else 200),
        "profile_drift": measure_profile_drift(profile_steps),
    }
    with open(arguments.out, "w") as out:
        json.dump(results, out, indent=2)
        out.write("\n")
    print(report(results))


if __name__ == "__main__":
    main()
