"""The guard as `qm4410 serve` holds it: how soon a trip switches the output
off, and how closely a slewed set-point keeps to its rate.

    python bench/guard.py [--quick] [--out bench/guard.json]

Trips: the supply's load steps (through qm4410-sim's --control pipe) from
10 ohms to 2, so that the current passes the trip's 0.5 A; measured is the
time from that change to the trip latched (Trip.at) and to the output
confirmed off (the guard's own status read saying so; looked for every
0.5 ms), over N trials, each begun at a random moment of the guard's
reading interval. The promise: a trip acts within one interval plus one
exchange; confirming the output off takes the switch-off's own two
exchanges (the request, the status read back) on top. Where an exchange
takes longer than the interval (4800 baud) the readings follow one another,
and the bound is two exchanges (the reading under way, which may have read
the supply just before the change, and the next); each is also judged
against that, the longer of the interval and an exchange, plus one. With the line idle,
and beside a client that keeps it busy (status reads back to back, as a
busy SCPI client does), at the unpaced virtual supply and at 4800 baud.

Slew: a 0 -> 5 V ramp at 2 V/s and back, its set-point read back to back by
another client; reported are the largest step between two readings, the
largest change against what the rate allows between them (rate x the time
from the first's request to the second's answer, plus one step), and how
long each ramp took against the 2.5 s the rate alone would take.

A short beside four busy readers (4800 baud): two read the status as a SCPI
client's MEAS? lines do (a reading within the server's bound, and not the
one the client's previous line had), two send status
frames as RFC 2217 clients do (within their driver's window); the load is
shorted through the control pipe and the output must be confirmed off
within one watch interval plus two exchanges, at most SHORT_TARGET_MS, at
worst of SHORT_TRIALS.

What the guard's readings cost the clients: the status answers a SCPI
client reading back to back gets in a few seconds, with and without a guard
that watches (a trip set).

Runs in this process on the server's own classes (HeldSupply and its
guard, whose exchanges take turns with the clients'). Needs qm4410-sim and
the installed package. Prints tables, and writes the results as JSON.
"""

import contextlib
import logging
import os
import random
import statistics
import tempfile
import threading
import time

from commands import STATUS_REQUEST
from report import mark, run_benchmark, table

from qm4410.server import Asker, HeldSupply
from qm4410.server.guarding import guard_over
from qm4410.supply import Rules
from qm4410.supply.guard import SLEW_STEPS_PER_S, WATCH_INTERVAL_S
from qm4410.supply.link import Link
from qm4410.virtual_supply import VirtualSupply

TRIP_CURRENT = 0.5
SLEW_RATE = 2.0  # V/s
CLIENT = Asker("bench", "the bench's client")
BUSY = Asker("scpi", "a busy client")
LINES = {"unpaced": (), "4800 baud": ("--line-speed", "4800")}
SLOW_LINE = LINES["4800 baud"]
SHORT_TARGET_MS = 350.0
SHORT_TRIALS = 20
READERS = 4  # two as SCPI clients read, two as RFC 2217 clients do
RFC2217_WINDOW_S = 0.29
GUARD_COST_TARGET = 0.10  # of a back-to-back reader's answers
# A reader in this process stands for a client whose next request comes a
# loopback round trip after its answer: its thread waits that long, as a
# client's thread in the server waits on its socket. (Readers spinning on a
# shared reading would hold the interpreter's lock from the guard's thread.)
CLIENT_ROUND_TRIP_S = 0.001


def plan(quick: bool) -> dict:
    return {
        "trials": {"unpaced": 10 if quick else 40, "4800 baud": 6 if quick else 20},
        "short_trials": 6 if quick else SHORT_TRIALS,
    }


@contextlib.contextmanager
def held(line_options, folder):
    """A virtual supply held as the server holds it, and its control pipe."""
    control = os.path.join(folder, f"control{random.randrange(10**9)}")
    with VirtualSupply(["--load", "10", "--control", control, *line_options]) as virtual:
        supply = HeldSupply(virtual.port)
        supply.open()
        try:
            yield supply, virtual
        finally:
            supply.close()


class ScpiReader:
    """Status readings as a SCPI client's MEAS? lines take them: within the
    server's bound, and never the one its previous line had."""

    def __init__(self, supply: HeldSupply) -> None:
        self.supply = supply
        self.answered_at: float | None = None

    def read(self) -> bool:
        reading = self.supply.status(newer_than=self.answered_at)
        if reading is None:
            return False
        self.answered_at = reading.answered_at
        return True


def rfc2217_reading(supply: HeldSupply, asker: Asker) -> bool:
    """A status frame as an RFC 2217 client sends it, answered within its window."""
    return supply.exchange(STATUS_REQUEST, asker, time.monotonic() + RFC2217_WINDOW_S).reply is not None


@contextlib.contextmanager
def busy_readers(supply: HeldSupply, count: int):
    """`count` readers reading back to back while the block runs: the
    first half as SCPI clients, the rest as RFC 2217 clients."""
    stop = threading.Event()

    def loop(number: int) -> None:
        asker, scpi = Asker("rfc2217", f"reader {number}"), ScpiReader(supply)
        while not stop.wait(CLIENT_ROUND_TRIP_S):
            if number < count // 2 or count == 1:
                scpi.read()
            else:
                rfc2217_reading(supply, asker)

    threads = [threading.Thread(target=loop, args=(number,)) for number in range(count)]
    for thread in threads:
        thread.start()
    try:
        yield
    finally:
        stop.set()
        for thread in threads:
            thread.join()


def client_rate(supply: HeldSupply, seconds: float) -> float:
    """Status answers a second that one SCPI reader alone gets, back to back."""
    answers, reader = 0, ScpiReader(supply)
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        time.sleep(CLIENT_ROUND_TRIP_S)
        answers += reader.read()
    return answers / seconds


def exchange_ms(supply: HeldSupply, count: int = 20) -> float:
    """The median status read on this line, alone on it."""
    times = []
    for _ in range(count):
        started = time.perf_counter()
        if supply.run(Link.read_status, CLIENT) is None:
            raise RuntimeError("a status read went unanswered")
        times.append(time.perf_counter() - started)
    return statistics.median(times) * 1e3


def trip_trials(supply: HeldSupply, virtual: VirtualSupply, trials: int, readers: int, step: str) -> list[dict]:
    """Each trial: the output on at 3 V into 10 ohms, then the load changed
    by `step` (through the control pipe) at a random moment of the guard's
    interval, with `readers` busy readers beside it."""
    rows = []
    with guard_over(supply, Rules(trip_current=TRIP_CURRENT)) as guard, busy_readers(supply, readers):
        supply.run(lambda link: link.set_remote(True) and link.set_voltage(3000) and link.set_current(1000), CLIENT)
        for _ in range(trials):
            virtual.control("load 10")  # 0.3 A at 3 V
            guard.clear()
            if not supply.run(lambda link: link.set_output(True), CLIENT):
                raise RuntimeError("the output was not switched on")
            time.sleep(2 * guard.interval + random.uniform(0, guard.interval))
            if guard.trip is not None:
                raise RuntimeError(f"tripped before the load stepped: {guard.trip}")
            wall, started = time.time(), time.monotonic()
            virtual.control(step)
            while (trip := guard.trip) is None or not trip.output_off:
                if time.monotonic() - started > 10:
                    raise RuntimeError(f"no confirmed trip within 10 s: {trip}")
                time.sleep(0.0005)
            off = time.monotonic() - started
            rows.append({"latched_ms": (trip.at - wall) * 1e3, "confirmed_off_ms": off * 1e3})
    return rows


def trip_row(line: str, beside: str, exchange: float, rows: list[dict]) -> dict:
    latched = [row["latched_ms"] for row in rows]
    off = [row["confirmed_off_ms"] for row in rows]
    interval_ms = WATCH_INTERVAL_S * 1e3
    return {
        "line": line,
        "beside": beside,
        "trials": len(rows),
        "exchange_ms": exchange,
        "interval_ms": interval_ms,
        "latched_median_ms": statistics.median(latched),
        "latched_worst_ms": max(latched),
        "confirmed_off_median_ms": statistics.median(off),
        "confirmed_off_worst_ms": max(off),
        "promise_latched_ms": interval_ms + exchange,
        "promise_confirmed_off_ms": interval_ms + 3 * exchange,
        "bound_latched_ms": max(interval_ms, exchange) + exchange,
        "bound_confirmed_off_ms": max(interval_ms, exchange) + 3 * exchange,
        "each_latched_ms": [round(ms, 1) for ms in latched],
        "each_confirmed_off_ms": [round(ms, 1) for ms in off],
    }


def trips(quick: bool, folder: str) -> list[dict]:
    results = []
    for line, options in LINES.items():
        for readers in (0, 1):
            with held(options, folder) as (supply, virtual):
                exchange = exchange_ms(supply)
                rows = trip_trials(supply, virtual, plan(quick)["trials"][line], readers, "load 2")  # 1 A, the limit
            results.append(trip_row(line, "a busy reader" if readers else "idle", exchange, rows))
    return results


def short(quick: bool, folder: str) -> dict:
    """A short beside four busy readers, at 4800 baud."""
    with held(SLOW_LINE, folder) as (supply, virtual):
        exchange = exchange_ms(supply)
        rows = trip_trials(supply, virtual, plan(quick)["short_trials"], READERS, "short")
    row = trip_row("4800 baud", f"{READERS} busy readers", exchange, rows)
    row["target_ms"] = min(SHORT_TARGET_MS, WATCH_INTERVAL_S * 1e3 + 2 * exchange)
    return row


def reading_cost(folder: str, seconds: float) -> list[dict]:
    results = []
    for line, options in LINES.items():
        with held(options, folder) as (supply, _):
            alone = client_rate(supply, seconds)
            with guard_over(supply, Rules(trip_current=TRIP_CURRENT)):
                watched = client_rate(supply, seconds)
        results.append(
            {
                "line": line,
                "answers_per_s_alone": alone,
                "answers_per_s_beside_the_guard": watched,
                "share_left": watched / alone,
            }
        )
    return results


def slew(folder: str) -> list[dict]:
    results = []
    step = SLEW_RATE / SLEW_STEPS_PER_S
    for line, options in LINES.items():
        with held(options, folder) as (supply, _), guard_over(supply, Rules(slew_voltage=SLEW_RATE)) as guard:
            supply.run(lambda link: link.set_voltage(0), CLIENT)
            samples = []  # (asked, answered, volts)
            took = {}
            for target in (5.0, 0.0):
                started = time.monotonic()
                guard.send_units("voltage", int(target * 1000), wait=False)
                while True:
                    asked = time.monotonic()
                    status = supply.run(Link.read_status, CLIENT)
                    if status is not None:
                        samples.append((asked, time.monotonic(), status.voltage))
                        if status.voltage == target:
                            break
                took["up" if target else "down"] = time.monotonic() - started
            pairs = list(zip(samples, samples[1:]))
            excess = [abs(b[2] - a[2]) - (SLEW_RATE * (b[1] - a[0]) + step) for a, b in pairs]
            results.append(
                {
                    "line": line,
                    "rate_v_per_s": SLEW_RATE,
                    "step_v": step,
                    "samples": len(samples),
                    "largest_step_v": max(abs(b[2] - a[2]) for a, b in pairs),
                    "largest_excess_v": max(excess),
                    "outrun": sum(1 for e in excess if e > 1e-9),
                    "ramp_up_s": took["up"],
                    "ramp_down_s": took["down"],
                    "at_the_rate_s": 5.0 / SLEW_RATE,
                }
            )
    return results


def judge(results: dict) -> dict:
    short = results["short"]
    verdicts: dict = {
        "slew_never_outrun": all(r["outrun"] == 0 for r in results["slew"]),
        "short_confirmed_off_in_time": short["confirmed_off_worst_ms"] <= short["target_ms"],
        "guard_costs_a_reader_little": all(r["share_left"] >= 1 - GUARD_COST_TARGET for r in results["reading_cost"]),
    }
    for r in results["trips"]:
        row = f"{r['line']}, {r['beside']}"
        verdicts[row] = {
            "latched_within_interval_plus_exchange": r["latched_worst_ms"] <= r["promise_latched_ms"],
            "confirmed_off_within_that_plus_two_exchanges": r["confirmed_off_worst_ms"]
            <= r["promise_confirmed_off_ms"],
            "latched_within_the_longer_plus_exchange": r["latched_worst_ms"] <= r["bound_latched_ms"],
            "confirmed_off_within_that_plus_two_exchanges_too": r["confirmed_off_worst_ms"]
            <= r["bound_confirmed_off_ms"],
        }
    return verdicts


def report(results: dict, verdicts: dict) -> str:
    def met(r: dict, key: str) -> str:
        return mark(verdicts[f"{r['line']}, {r['beside']}"][key])

    trip_rows = [
        [
            r["line"],
            r["beside"],
            r["trials"],
            f"{r['exchange_ms']:.1f}",
            f"{r['latched_median_ms']:.1f}",
            f"{r['latched_worst_ms']:.1f}",
            f"{r['promise_latched_ms']:.0f} {met(r, 'latched_within_interval_plus_exchange')}",
            f"{r['bound_latched_ms']:.0f} {met(r, 'latched_within_the_longer_plus_exchange')}",
            f"{r['confirmed_off_median_ms']:.1f}",
            f"{r['confirmed_off_worst_ms']:.1f}",
            f"{r['promise_confirmed_off_ms']:.0f} {met(r, 'confirmed_off_within_that_plus_two_exchanges')}",
            f"{r['bound_confirmed_off_ms']:.0f} {met(r, 'confirmed_off_within_that_plus_two_exchanges_too')}",
        ]
        for r in results["trips"]
    ]
    slew_rows = [
        [
            r["line"],
            r["samples"],
            f"{r['largest_step_v']:.3f}",
            f"{r['step_v']:.3f}",
            f"{r['largest_excess_v']:+.3f}",
            r["outrun"],
            f"{r['ramp_up_s']:.2f}",
            f"{r['ramp_down_s']:.2f}",
            f"{r['at_the_rate_s']:.2f}",
        ]
        for r in results["slew"]
    ]
    cost_rows = [
        [
            r["line"],
            f"{r['answers_per_s_alone']:.1f}",
            f"{r['answers_per_s_beside_the_guard']:.1f}",
            f"{r['share_left']:.0%}",
        ]
        for r in results["reading_cost"]
    ]
    meta = results["meta"]
    short = results["short"]
    return "\n\n".join(
        [
            f"## a trip: the load steps, to the trip latched and to the output confirmed off (ms; interval "
            f"{WATCH_INTERVAL_S * 1e3:.0f} ms; load average at the end {meta['load_average_1_min']:.1f})",
            table(
                [
                    "line",
                    "beside",
                    "trials",
                    "exchange",
                    "latched median",
                    "latched worst",
                    "interval + exchange",
                    "longer + exchange",
                    "off median",
                    "off worst",
                    "+ 2 exchanges",
                    "longer + 3 exchanges",
                ],
                trip_rows,
            ),
            "(worst against the bound: yes when within it; 'longer': the longer of the interval and an exchange)",
            f"## slew at {SLEW_RATE:g} V/s, 0 -> 5 V -> 0, read back to back by another client",
            table(
                [
                    "line",
                    "readings",
                    "largest step V",
                    "a step V",
                    "largest excess V",
                    "outrun",
                    "ramp up s",
                    "ramp down s",
                    "at the rate s",
                ],
                slew_rows,
            ),
            f"never beyond the rate between two readings (plus one step): {mark(verdicts['slew_never_outrun'])}",
            "## a SCPI client's status answers a second, reading back to back, alone and beside a guard that watches",
            table(["line", "alone", "beside the guard", "share left"], cost_rows),
            f"the guard's watching costs the reader at most {GUARD_COST_TARGET:.0%} of its answers: "
            f"{mark(verdicts['guard_costs_a_reader_little'])}",
            f"## a short beside {READERS} busy readers (two as SCPI, two as RFC 2217 clients), 4800 baud (ms)",
            table(
                ["trials", "exchange", "latched median", "latched worst", "off median", "off worst", "target"],
                [
                    [
                        short["trials"],
                        f"{short['exchange_ms']:.1f}",
                        f"{short['latched_median_ms']:.1f}",
                        f"{short['latched_worst_ms']:.1f}",
                        f"{short['confirmed_off_median_ms']:.1f}",
                        f"{short['confirmed_off_worst_ms']:.1f}",
                        f"{short['target_ms']:.0f} {mark(verdicts['short_confirmed_off_in_time'])}",
                    ]
                ],
            ),
            f"(target: one watch interval plus two exchanges, at most {SHORT_TARGET_MS:.0f} ms, for the worst trial)",
        ]
    )


def measure(quick: bool) -> dict:
    # The guard's trips are logged at WARNING; not here.
    logging.getLogger("qm4410").addHandler(logging.NullHandler())
    logging.getLogger("qm4410").propagate = False
    with tempfile.TemporaryDirectory() as folder:
        results = {
            "trips": trips(quick, folder),
            "short": short(quick, folder),
            "slew": slew(folder),
            "reading_cost": reading_cost(folder, 2.0 if quick else 5.0),
        }
    results["meta"] = {
        "quick": quick,
        **plan(quick),
        "cpus": os.cpu_count(),
        "load_average_1_min": os.getloadavg()[0],
    }
    return results


if __name__ == "__main__":
    run_benchmark(__doc__, "fewer trials (about 40 s)", "bench/guard.json", measure, judge, report)
