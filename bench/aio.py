"""The asyncio face and the Bluesky device against virtual supplies: what an
awaited command costs beyond the blocking one, many supplies driven from one
event loop (and how long the loop is ever held up meanwhile), and a Bluesky
count's time a point against the bare exchange.

    python bench/aio.py [--quick] [--out bench/aio.json]

Needs qm4410-sim on PATH or named in $QM4410_SIM; the Bluesky part needs
the bluesky extra (pip install '.[bluesky]') and is left out without it.
"""

import argparse
import asyncio
import contextlib
import json
import os
import platform
import statistics
import sys
import time

from simulator import virtual_supplies

from qm4410 import Supply
from qm4410.aio import AsyncQM4410

SUPPLIES = 16
LINEAR_TARGET = 0.95
STALL_TARGET_S = 0.001
TICK_S = 0.001  # how often the loop is looked at while the supplies run


class InstantDriver:
    """A driver whose status read costs nothing but the call: what is left
    of an awaited call is the face's own cost."""

    port = "/dev/ttyINSTANT"
    RECORD = {
        "current_real": 0.5,
        "voltage_real": 4.0,
        "current_set": 0.5,
        "voltage_max_set": 30.0,
        "voltage_set": 5.0,
        "out_status": "on",
        "beyond_temp": False,
        "out_mode": "CC",
        "fan_speed": 0,
        "work_mode": "remote",
    }

    def read_dev_status(self):
        return self.RECORD

    def show_device_version(self):
        return {"model": "4410", "SN": "000000001", "soft_version": 102}


async def interleaved(supply: Supply, awaited: AsyncQM4410, rounds: int) -> dict:
    """Status reads, blocking and awaited in turn on the same supply: the
    median of each, and of what awaiting adds (paired round by round)."""
    blocking, waiting = [], []
    for _ in range(rounds):
        started = time.perf_counter()
        supply.status()
        blocking.append(time.perf_counter() - started)
        started = time.perf_counter()
        await awaited.status()
        waiting.append(time.perf_counter() - started)
    added = [w - b for b, w in zip(blocking, waiting)]
    return {
        "rounds": rounds,
        "blocking_us": statistics.median(blocking) * 1e6,
        "awaited_us": statistics.median(waiting) * 1e6,
        "added_us": statistics.median(added) * 1e6,
    }


async def awaited_cost(quick: bool) -> dict:
    rounds = 2000 if quick else 20000
    with Supply.from_driver(InstantDriver()) as supply:
        async with AsyncQM4410.from_supply(supply) as awaited:
            instant = await interleaved(supply, awaited, rounds)
    with virtual_supplies(1) as (port,), Supply(port) as supply:
        async with AsyncQM4410.from_supply(supply) as awaited:
            line = await interleaved(supply, awaited, 50 if quick else 300)
    return {"instant_driver": instant, "virtual_supply": line}


class Stalls:
    """Wakes every TICK_S on the loop and keeps how late each wake came
    (what the loop's other tasks see: its own work, and the machine's
    scheduling of its thread), and how long the longest step the loop ran
    took (a callback or a task's step: what held the loop itself)."""

    def __init__(self) -> None:
        self.late: list[float] = []
        self.longest_step = 0.0

    @contextlib.contextmanager
    def timing_steps(self):
        run = asyncio.events.Handle._run

        def timed(handle):
            started = time.perf_counter()
            try:
                return run(handle)
            finally:
                self.longest_step = max(self.longest_step, time.perf_counter() - started)

        asyncio.events.Handle._run = timed
        try:
            yield
        finally:
            asyncio.events.Handle._run = run

    async def watch(self, stop: asyncio.Event) -> None:
        loop = asyncio.get_running_loop()
        while not stop.is_set():
            asked = loop.time()
            await asyncio.sleep(TICK_S)
            self.late.append(loop.time() - asked - TICK_S)

    def summary(self) -> dict:
        late = sorted(self.late)
        return {
            "ticks": len(late),
            "largest_ms": late[-1] * 1e3,
            "p99_ms": late[int(len(late) * 0.99)] * 1e3,
            "median_ms": statistics.median(late) * 1e3,
            "longest_step_ms": self.longest_step * 1e3,
        }


async def drive(supplies: list[AsyncQM4410], seconds: float, stalls: Stalls) -> float:
    """Every supply reads its status over and over from a task of its own
    for `seconds`, while `stalls` watches the loop; the reads a second."""
    stop = asyncio.Event()
    counts = [0] * len(supplies)

    async def reading(index: int, supply: AsyncQM4410) -> None:
        while not stop.is_set():
            await supply.status()
            counts[index] += 1

    with stalls.timing_steps():
        watcher = asyncio.create_task(stalls.watch(stop))
        started = time.perf_counter()
        tasks = [asyncio.create_task(reading(i, s)) for i, s in enumerate(supplies)]
        await asyncio.sleep(seconds)
        stop.set()
        await asyncio.gather(*tasks, watcher)
        elapsed = time.perf_counter() - started
    return sum(counts) / elapsed


async def concurrency(quick: bool) -> dict:
    """Rounds of the loop idle, one supply alone and all of them together,
    in turn, so that what else the machine does weighs on each alike."""
    rounds, seconds = (2, 1.5) if quick else (5, 3.0)
    idle, alone, together = Stalls(), Stalls(), Stalls()
    fractions, alone_rates, together_rates = [], [], []
    with virtual_supplies(SUPPLIES) as ports:
        async with contextlib.AsyncExitStack() as stack:
            supplies = [await stack.enter_async_context(AsyncQM4410(port)) for port in ports]
            for _ in range(rounds):
                await drive([], seconds, idle)
                alone_rates.append(await drive(supplies[:1], seconds, alone))
                together_rates.append(await drive(supplies, seconds, together))
                fractions.append(together_rates[-1] / (SUPPLIES * alone_rates[-1]))
    return {
        "rounds": rounds,
        "seconds": seconds,
        "alone_reads_per_s": alone_rates,
        "together_reads_per_s": together_rates,
        "fractions": fractions,
        "fraction_of_linear": statistics.median(fractions),
        "stalls": {"idle": idle.summary(), "alone": alone.summary(), "together": together.summary()},
    }


def bluesky_count(quick: bool) -> dict | None:
    try:
        from bluesky import RunEngine
        from bluesky.plans import count
        from bluesky.run_engine import call_in_bluesky_event_loop
        from ophyd_async.core import init_devices

        from qm4410.bluesky import QM4410Device
    except ImportError:
        return None
    points = 100
    runs = 3 if quick else 10
    engine = RunEngine({})
    with virtual_supplies(1, "--load", "8") as (port,):
        with init_devices():
            psu = QM4410Device(port)
        try:
            per_point = []
            for _ in range(runs):
                started = time.perf_counter()
                engine(count([psu], num=points))
                per_point.append((time.perf_counter() - started) / points)
            # The bare exchange on the same line, from here while the device idles.
            bare = []
            for _ in range(points * 3):
                started = time.perf_counter()
                psu.supply.supply.status()
                bare.append(time.perf_counter() - started)
        finally:
            call_in_bluesky_event_loop(psu.close())
    point_ms, bare_ms = statistics.median(per_point) * 1e3, statistics.median(bare) * 1e3
    return {
        "points": points,
        "runs": runs,
        "per_point_ms": point_ms,
        "bare_exchange_ms": bare_ms,
        "added_ms": point_ms - bare_ms,
        "ratio": point_ms / bare_ms,
    }


async def measure_async(quick: bool) -> dict:
    return {"awaited": await awaited_cost(quick), "many": await concurrency(quick)}


def report(results: dict) -> str:
    instant = results["awaited"]["instant_driver"]
    line = results["awaited"]["virtual_supply"]
    many = results["many"]
    together, idle = many["stalls"]["together"], many["stalls"]["idle"]
    held = max(together["longest_step_ms"], together["largest_ms"])
    lines = [
        f"- awaited over blocking, no line (a driver that answers at once): {instant['added_us']:.1f} us "
        f"a call ({instant['blocking_us']:.1f} us blocking, {instant['awaited_us']:.1f} us awaited)",
        f"- awaited over blocking on a virtual supply: {line['added_us']:.1f} us a status read "
        f"({line['blocking_us'] / 1e3:.3f} ms blocking, {line['awaited_us'] / 1e3:.3f} ms awaited)",
        f"- {SUPPLIES} supplies from one loop: {statistics.median(many['together_reads_per_s']):.0f} reads/s "
        f"against {statistics.median(many['alone_reads_per_s']):.1f} alone: {many['fraction_of_linear']:.3f} "
        f"of linear, median of {many['rounds']} rounds ({min(many['fractions']):.3f} to "
        f"{max(many['fractions']):.3f}; target {LINEAR_TARGET}: "
        f"{'met' if many['fraction_of_linear'] >= LINEAR_TARGET else 'NOT met'})",
        f"- the loop meanwhile (a {TICK_S * 1e3:g} ms tick): woken at most {together['largest_ms']:.3f} ms late "
        f"(p99 {together['p99_ms']:.3f} ms, median {together['median_ms']:.3f} ms), its longest step "
        f"{together['longest_step_ms']:.3f} ms; target < {STALL_TARGET_S * 1e3:g} ms: "
        f"{'met' if held < STALL_TARGET_S * 1e3 else 'NOT met'}. The same loop idle: at most "
        f"{idle['largest_ms']:.3f} ms late (p99 {idle['p99_ms']:.3f} ms), longest step "
        f"{idle['longest_step_ms']:.3f} ms",
    ]
    counted = results.get("bluesky_count")
    if counted is None:
        lines.append("- Bluesky count: not measured (the bluesky extra is not installed)")
    else:
        lines.append(
            f"- Bluesky count of {counted['points']} points: {counted['per_point_ms']:.2f} ms a point "
            f"against {counted['bare_exchange_ms']:.2f} ms for the bare exchange "
            f"(+{counted['added_ms']:.2f} ms, {counted['ratio']:.2f}x)"
        )
    return "\n".join(lines)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer and shorter runs")
    parser.add_argument("--out", default="bench/aio.json", help="where the results go, as JSON")
    arguments = parser.parse_args()
    started = time.perf_counter()
    results = {
        "meta": {
            "quick": arguments.quick,
            "python": platform.python_version(),
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "load_before": os.getloadavg(),
        }
    }
    results.update(asyncio.run(measure_async(arguments.quick)))
    results["bluesky_count"] = bluesky_count(arguments.quick)
    results["meta"]["seconds"] = time.perf_counter() - started
    results["meta"]["load_after"] = os.getloadavg()  # what else the machine ran weighs on every figure
    with open(arguments.out, "w") as out:
        json.dump(results, out, indent=2)
    print(report(results))
    meta = results["meta"]
    print(
        f"({meta['seconds']:.0f} s; load average {meta['load_before'][0]:.2f} before, "
        f"{meta['load_after'][0]:.2f} after; written to {arguments.out})",
        file=sys.stderr,
    )


if __name__ == "__main__":
    main()
