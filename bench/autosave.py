"""qm4410 serve's autosave across power cycles: a virtual supply that
vanishes and comes back, over and over, sometimes at its factory settings,
sometimes with its own, sometimes while the server itself is restarted;
whether every set-point a client set came back, whether the output was ever
switched on without being asked to, and how soon the set-points were back.

    python bench/autosave.py [--cycles 1000] [--quick] [--out bench/autosave.json]

Each cycle a SCPI client sets random set-points and switches the output on
or off, waits until the state file holds them, and then the supply goes:
its power off and on again (the factory settings), its port unplugged and
plugged in again (its settings kept), both, or, every RESTART_EVERY
cycles, the server stopped, the supply power-cycled and the server started
again, with --restore-output turned the other way. The client then reads
until the set-points are back. Every request to switch the output on that
the supply received (its -v log) must be one the client sent or one that
--restore-output on asked for. Needs qm4410-sim (as bench/run.py does) and
the installed package. Prints a table, and writes the results as JSON.
"""

import contextlib
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import time

from report import mark, run_benchmark, table

from qm4410.virtual_supply import VirtualSupply

CYCLES = 1000
RESTART_EVERY = 25
SLEW_V_PER_S = 50.0
LIMIT_V = 20
WAYS = ("power-cycled", "unplugged", "unplugged and power-cycled")
OFF_S = (0.3, 0.8)  # how long the supply is gone, drawn at random between these
BACK_WITHIN_S = 1.0  # the target: restoring begun this soon after the supply's first answer
GIVE_UP_S = 15.0
POLL_S = 0.05
SERVE = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())", "serve"]
# How the virtual supply logs a request to switch the output on (-v).
SWITCH_ON = "set output on"
# How it logs a set-point request, which after the power came back only a restoration sends.
SET_POINTS = ("set maximum voltage", "set current limit", "set output voltage")


class Served:
    """`qm4410 serve` of the supply behind `link`, its state in `state`, and
    a SCPI client of it that reconnects when the server is restarted."""

    def __init__(self, link: str, state: str, log: str) -> None:
        self.link, self.state, self.log_path = link, state, log
        self.process: subprocess.Popen[str] | None = None
        self.connection: socket.socket | None = None
        self.restore_output = False

    def start(self) -> None:
        with open(self.log_path, "a") as log:
            self.process = subprocess.Popen(
                [
                    *SERVE,
                    "--port",
                    self.link,
                    "--reconnect",
                    "--state",
                    self.state,
                    "--restore-output",
                    "on" if self.restore_output else "off",
                    "--slew-voltage",
                    str(SLEW_V_PER_S),
                    "--limit-voltage",
                    str(LIMIT_V),
                    "--rfc2217",
                    "0",
                    "--scpi",
                    "0",
                ],
                stdout=subprocess.PIPE,
                stderr=log,
                text=True,
            )
        assert self.process.stdout is not None
        self.process.stdout.readline()
        visa = self.process.stdout.readline().strip()
        if not visa:
            raise RuntimeError(f"qm4410 serve did not start (exit {self.process.wait()})")
        self.connection = socket.create_connection(("127.0.0.1", int(visa.split("::")[2])), timeout=10)

    def stop(self) -> None:
        if self.connection is not None:
            self.connection.close()
        if self.process is not None:
            self.process.terminate()
            self.process.wait(30)
            assert self.process.stdout is not None
            self.process.stdout.close()

    def tell(self, line: str) -> None:
        assert self.connection is not None
        self.connection.sendall(line.encode() + b"\n")

    def ask(self, line: str) -> str:
        self.tell(line)
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = self.connection.recv(4096)
            if not chunk:
                raise ConnectionError("the server hung up")
            answer += chunk
        return answer.decode().strip()

    def held(self) -> tuple[str, ...] | None:
        """The set-points and the output as the supply reports them, as
        text; None while it does not answer."""
        answer = self.ask("VOLT?;CURR?;VOLT:PROT?;OUTP?")
        if "9.91E+37" in answer:
            self.tell("*CLS")
            return None
        return tuple(answer.split(";"))

    def saved(self) -> dict | None:
        with contextlib.suppress(OSError, ValueError):
            with open(self.state) as file:
                return json.load(file)["state"]
        return None

    def holding(self, expected: tuple[str, ...]):
        """Whether the supply holds `expected` (see held), when called."""
        return lambda: self.held() == expected

    def keeping(self, kept: dict):
        """Whether the state file holds `kept`, when called."""
        return lambda: {key: (self.saved() or {}).get(key) for key in kept} == kept


def drawn(chance: random.Random) -> dict:
    """Set-points a client might set: the voltage below the maximum, both
    under the server's limit."""
    most = chance.randrange(2_000, LIMIT_V * 1000)
    return {
        "voltage": chance.randrange(0, most),
        "current": chance.randrange(100, 3_000),
        "max_voltage": most,
        "output": chance.random() < 0.5,
    }


def as_read(setpoints: dict) -> tuple[str, ...]:
    return (
        f"{setpoints['voltage'] / 1000:.3f}",
        f"{setpoints['current'] / 1000:.3f}",
        f"{setpoints['max_voltage'] / 1000:.3f}",
        "1" if setpoints["output"] else "0",
    )


def until(condition, within: float = GIVE_UP_S):
    deadline = time.monotonic() + within
    while not (found := condition()):
        if time.monotonic() > deadline:
            return None
        time.sleep(POLL_S)
    return found


def measure(quick: bool = False, cycles: int | None = None, seed: int = 4410) -> dict:
    cycles = cycles if cycles is not None else (50 if quick else CYCLES)
    chance = random.Random(seed)
    rows = []  # one per cycle
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        link, control = os.path.join(folder, "ttyQM"), os.path.join(folder, "control")
        sim_log = os.path.join(folder, "sim.log")
        supply = stack.enter_context(
            VirtualSupply(["--link", link, "--control", control, "--load", "inf", "-v"], log_path=sim_log)
        )
        served = Served(link, os.path.join(folder, "state.json"), os.path.join(folder, "serve.log"))
        served.start()
        stack.callback(served.stop)
        served.tell("SYST:REM")
        switched_on = 0  # the requests to switch on the supply should have received
        for cycle in range(cycles):
            asked = drawn(chance)
            served.ask(
                f"VOLT:PROT {asked['max_voltage'] / 1000};CURR {asked['current'] / 1000};"
                f"VOLT {asked['voltage'] / 1000};OUTP {'ON' if asked['output'] else 'OFF'};*OPC?"
            )
            switched_on += asked["output"]
            if until(served.holding(as_read(asked))) is None:
                raise RuntimeError(f"cycle {cycle}: the supply did not take {asked}: {served.held()}")
            set_at = time.monotonic()
            kept = {key: asked[key] for key in ("voltage", "current", "max_voltage", "output")}
            if until(served.keeping(kept)) is None:
                raise RuntimeError(f"cycle {cycle}: the state file never held {asked}")
            saved_after = time.monotonic() - set_at
            restart = (cycle + 1) % RESTART_EVERY == 0
            way = "server restarted" if restart else chance.choice(WAYS)
            factory = way != "unplugged"
            gone_for = chance.uniform(*OFF_S)
            if restart:
                served.stop()
                served.restore_output = not served.restore_output
                supply.control("power off")
                time.sleep(gone_for)
                supply.control("power on")
                back_at = time.monotonic()
                served.start()
            else:
                supply.control("unplug" if way != "power-cycled" else "power off")
                if way == "unplugged and power-cycled":
                    supply.control("power off")
                time.sleep(gone_for)
                if way != "unplugged":
                    supply.control("power on")
                if way != "power-cycled":
                    supply.control("plug")
                back_at = time.monotonic()
            output = asked["output"] and (served.restore_output or not factory)
            switched_on += asked["output"] and served.restore_output and factory
            expected = as_read({**asked, "output": output})
            found = until(served.holding(expected))
            rows.append(
                {
                    "cycle": cycle,
                    "way": way,
                    "restore_output": served.restore_output,
                    "gone_s": gone_for,
                    "saved_after_s": saved_after,
                    "back_after_s": time.monotonic() - back_at if found else None,
                    "held": list(served.held() or ()),
                    "expected": list(expected),
                }
            )
        served.tell("OUTP OFF")
        told = supply.log()
    return summarised(
        rows,
        told.count(SWITCH_ON) - switched_on,
        restoring_after(told),
        {"quick": quick, "cycles": cycles, "seed": seed},
    )


def restoring_after(told: str) -> list[float]:
    """From the virtual supply's log (-v, each line stamped with its time):
    for each time its power came back, how long after its first answer the
    first set-point was sent to it, which only a restoration sends then."""
    delays = []
    powered_at = answered_at = None
    for line in told.splitlines():
        stamp, _, text = line.partition("] ")
        with contextlib.suppress(ValueError):
            at = float(stamp.lstrip("["))
        if text.startswith("power on"):
            powered_at, answered_at = at, None
        elif powered_at is not None and answered_at is None and text.startswith("-> "):
            answered_at = at
        elif answered_at is not None and text.startswith("<- ") and any(word in text for word in SET_POINTS):
            delays.append(at - answered_at)
            powered_at = answered_at = None
    return delays


def summarised(rows: list[dict], unasked_switch_ons: int, restoring: list[float], meta: dict) -> dict:
    def spread(values: list[float]) -> dict:
        if not values:
            return {"count": 0}
        values = sorted(values)
        return {
            "count": len(values),
            "median_s": statistics.median(values),
            "p95_s": values[min(len(values) - 1, int(0.95 * len(values)))],
            "max_s": values[-1],
        }

    lost = [row for row in rows if row["back_after_s"] is None]
    return {
        "meta": {**meta, "slew_v_per_s": SLEW_V_PER_S, "restart_every": RESTART_EVERY, "cpus": os.cpu_count()},
        "cycles": len(rows),
        "lost": lost,
        "unasked_switch_ons": unasked_switch_ons,
        "saved_after": spread([row["saved_after_s"] for row in rows]),
        "restoring_after_first_answer": spread(restoring),
        "back_after": {
            way: spread([row["back_after_s"] for row in rows if row["way"] == way and row["back_after_s"] is not None])
            for way in (*WAYS, "server restarted")
        },
    }


def judge(results: dict) -> dict:
    restoring = results["restoring_after_first_answer"]
    return {
        "no_set_point_lost": not results["lost"],
        "no_unasked_switch_on": results["unasked_switch_ons"] <= 0,
        "restoring_within_a_second_of_the_first_answer": restoring.get("max_s", 0.0) <= BACK_WITHIN_S,
    }


def report(results: dict, verdicts: dict) -> str:
    def rows(spreads: dict) -> list[list]:
        return [
            [way, spread["count"], *(f"{spread.get(key, 0.0):.3f}" for key in ("median_s", "p95_s", "max_s"))]
            for way, spread in spreads.items()
        ]

    headers = ["how it went", "cycles", "median", "95th", "worst"]
    saved, restoring = results["saved_after"], results["restoring_after_first_answer"]
    return "\n\n".join(
        [
            f"## {results['cycles']} times the virtual supply vanished and came back under qm4410 serve",
            f"every set-point back (the voltage ramped at {SLEW_V_PER_S:g} V/s) and the output as it should be (s):",
            table(headers, rows(results["back_after"])),
            f"state file written after a change: median {saved.get('median_s', 0):.3f} s, "
            f"worst {saved.get('max_s', 0):.3f} s (the client's reads of the file included)",
            f"set-points lost: {len(results['lost'])} ({mark(verdicts['no_set_point_lost'])})",
            f"switch-ons nobody asked for: {max(results['unasked_switch_ons'], 0)} "
            f"({mark(verdicts['no_unasked_switch_on'])})",
            f"the first set-point restored after the supply's first answer at its factory settings (its log): "
            f"median {restoring.get('median_s', 0):.3f} s, 95th percentile {restoring.get('p95_s', 0):.3f} s, "
            f"worst {restoring.get('max_s', 0):.3f} s over {restoring['count']} (within {BACK_WITHIN_S:g} s: "
            f"{mark(verdicts['restoring_within_a_second_of_the_first_answer'])})",
        ]
    )


if __name__ == "__main__":
    run_benchmark(
        __doc__,
        "50 cycles (a few minutes)",
        "bench/autosave.json",
        measure,
        judge,
        report,
        extra=[("--cycles", {"type": int, "help": f"how many times the supply vanishes (default {CYCLES})"})],
    )
