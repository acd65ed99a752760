"""Many supplies at once: one virtual supply, one driver and one thread each."""

import contextlib
import sys
import threading
import time

from commands import COMMANDS
from simulator import connected_driver, virtual_supplies

SUPPLY_COUNTS = (1, 4, 16, 64)
READ_STATUS = next(c for c in COMMANDS if c.name == "read_dev_status")


class Tally:
    """What one thread did: answered and unanswered commands, and when it
    finished."""

    def __init__(self):
        self.answered = 0
        self.unanswered = 0
        self.finished = 0.0


def drive(call, start: threading.Barrier, stop_at: list, tally: Tally):
    """Reads status until the deadline that the last thread to arrive sets."""
    start.wait()
    while time.perf_counter() < stop_at[0]:
        if call() is None:
            tally.unanswered += 1
        else:
            tally.answered += 1
    tally.finished = time.perf_counter()


def run_threads(drivers, seconds: float) -> dict:
    tallies = [Tally() for _ in drivers]
    stop_at = [0.0]
    began = []

    def release():
        began.append(time.perf_counter())
        stop_at[0] = began[0] + seconds

    start = threading.Barrier(len(drivers), action=release)
    threads = [
        threading.Thread(target=drive, args=(READ_STATUS.bound_to(d), start, stop_at, t))
        for d, t in zip(drivers, tallies)
    ]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    elapsed = max(t.finished for t in tallies) - began[0]
    answered = sum(t.answered for t in tallies)
    return {
        "supplies": len(drivers),
        "seconds": elapsed,
        "answered": answered,
        "unanswered": sum(t.unanswered for t in tallies),
        "commands_per_s": answered / elapsed,
    }


def measure_one_count(count: int, seconds: float) -> dict:
    with virtual_supplies(count) as ports, contextlib.ExitStack() as stack:
        drivers = [stack.enter_context(connected_driver(port)) for port in ports]
        return run_threads(drivers, seconds)


def measure(quick: bool) -> list[dict]:
    seconds = 0.6 if quick else 2.0
    rows = []
    for count in SUPPLY_COUNTS:
        rows.append(measure_one_count(count, seconds))
        print(f"  {count} supplies: {rows[-1]['commands_per_s']:.0f} commands/s", file=sys.stderr)
    single = rows[0]["commands_per_s"]
    for row in rows:
        row["target_per_s"] = 0.9 * row["supplies"] * single
    return rows
