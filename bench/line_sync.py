"""What keeping every reply with its own request costs: the look at what
waits before each write on a healthy line, and the wait for a late reply
that an exchange without a reply leaves to the next one."""

import contextlib
import statistics
import sys
import time

import plain_driver
from latency import Timings, refuse_unanswered
from simulator import connected_driver, connected_plain_driver, virtual_supplies, virtual_supply


def look_cost(port, repeats: int = 2000) -> float:
    """Median µs of the look itself: one inWaiting() with nothing waiting."""
    samples = []
    for _ in range(repeats):
        start = time.perf_counter()
        port.inWaiting()
        samples.append(time.perf_counter() - start)
    return statistics.median(samples) * 1e6


def measure_healthy_line(quick: bool) -> dict:
    """read_dev_status on a pseudo-terminal: the extension, and the
    plain-Python driver with and without the look, in interleaved rounds."""
    rounds = 30 if quick else 100
    with virtual_supplies(3) as ports, contextlib.ExitStack() as stack:
        drivers = {
            "qm4410": stack.enter_context(connected_driver(ports[0])),
            "plain": stack.enter_context(connected_plain_driver(ports[1])),
            "plain_without_look": stack.enter_context(connected_plain_driver(ports[2], plain_driver.WithoutLook)),
        }
        timings = {name: Timings(lambda record: record is not None) for name in drivers}
        for _ in range(rounds):
            for name, driver in drivers.items():
                timings[name].time(driver.read_dev_status)
        look_us = look_cost(drivers["qm4410"].ser)
    row = {f"{name}_ms": t.median_wall_ms() for name, t in timings.items()}
    row.update((f"{name}_unanswered", t.unanswered) for name, t in timings.items())
    refuse_unanswered([{"command": "read_dev_status", **row}], "the look before writing")
    row["look_us"] = look_us
    row["look_pct"] = look_us / (row["qm4410_ms"] * 1e3) * 100
    row["plain_difference_pct"] = (row["plain_ms"] - row["plain_without_look_ms"]) / row["qm4410_ms"] * 100
    return row


def measure_after_failure(quick: bool) -> dict:
    """Every other request unanswered: the time of each command that follows
    one without a reply, next to one that follows a good exchange."""
    pairs = 5 if quick else 15
    after_failure, unanswered = Timings(lambda record: record is not None), 0
    with virtual_supply("--drop-every", "2") as port, connected_driver(port) as driver:
        # The identity read was request 1, so every even request is dropped.
        for _ in range(pairs):
            unanswered += driver.read_dev_status() is None
            after_failure.time(driver.read_dev_status)
    return {
        "median_ms": after_failure.median_wall_ms(),
        "max_ms": max(after_failure.wall) * 1e3,
        "dropped": unanswered,
        "unanswered_after": after_failure.unanswered,
    }


def measure(quick: bool) -> dict:
    results = {"healthy": measure_healthy_line(quick), "after_failure": measure_after_failure(quick)}
    print("  the look before writing, the wait after a failure: done", file=sys.stderr)
    return results
