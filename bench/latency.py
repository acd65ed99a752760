"""End-to-end timing of commands against virtual supplies over pyserial."""

import contextlib
import functools
import statistics
import sys
import time

import serial
from commands import DEVICE_COMMANDS, FRAME_LENGTH, STATUS_REQUEST
from driver_cost import answered, quiet_stdout
from simulator import connected_driver, connected_plain_driver, virtual_supplies, virtual_supply

POLL_INTERVAL = 0.01
BITS_PER_BYTE_8N1 = 10  # start bit, 8 data bits, stop bit

# The pause every exchange must make before its first poll, timed as a
# command is timed.
MANDATORY_PAUSE = functools.partial(time.sleep, POLL_INTERVAL)


def wire_time(baud: int) -> float:
    """Seconds a request and its reply take on the line at `baud`, 8N1."""
    return 2 * FRAME_LENGTH * BITS_PER_BYTE_8N1 / baud


class Timings:
    """Wall and CPU time of each call made through it, and how many of the
    calls went unanswered (by `answered`, given the call's result)."""

    def __init__(self, answered=lambda result: True):
        self.wall = []
        self.cpu = []
        self.answered = answered
        self.unanswered = 0

    def time(self, call):
        cpu_start = time.process_time()
        start = time.perf_counter()
        result = call()
        self.wall.append(time.perf_counter() - start)
        self.cpu.append(time.process_time() - cpu_start)
        if not self.answered(result):
            self.unanswered += 1

    def median_wall_ms(self) -> float:
        return statistics.median(self.wall) * 1e3

    def median_cpu_us(self) -> float:
        return statistics.median(self.cpu) * 1e6


def bare_exchange(ser, request: bytes):
    """The port calls of one good exchange and nothing else: the floor that
    any driver on pyserial stands on."""
    ser.write(request)
    time.sleep(POLL_INTERVAL)
    return ser.read(ser.inWaiting())


def bare_answered(reply: bytes) -> bool:
    return len(reply) == FRAME_LENGTH


def command_answered(command):
    return functools.partial(answered, command=command)


def refuse_unanswered(rows: list[dict], where: str):
    """A command without its reply waited for a timeout, or gave up early:
    either way its time is no latency, so no median may include it."""
    counts = [f"{r['command']} {key}={r[key]}" for r in rows for key in r if key.endswith("unanswered") and r[key]]
    if counts:
        raise RuntimeError(f"{where}: unanswered commands were timed: " + ", ".join(counts))


def against_pause(contenders: dict, rounds: int) -> list[dict]:
    """Per command, in rounds so that all see the same machine: the pause,
    the bare exchange and each driver's command, one after the other."""
    rows = []
    with quiet_stdout():
        for command in DEVICE_COMMANDS:
            calls = {"pause": MANDATORY_PAUSE, "bare": contenders["bare"]}
            calls.update((name, command.bound_to(contenders[name])) for name in ("qm4410", "plain"))
            timings = {"pause": Timings(), "bare": Timings(bare_answered)}
            timings.update((name, Timings(command_answered(command))) for name in ("qm4410", "plain"))
            for _ in range(rounds):
                for name, call in calls.items():
                    timings[name].time(call)
            rows.append(summarise(command, timings))
    refuse_unanswered(rows, "latency against the pause")
    return rows


def summarise(command, timings: dict) -> dict:
    pause_ms = timings["pause"].median_wall_ms()
    latency_ms = timings["qm4410"].median_wall_ms()
    row = {
        "command": command.name,
        "pause_ms": pause_ms,
        "latency_ms": latency_ms,
        "overhead_pct": (latency_ms - pause_ms) / pause_ms * 100,
        "plain_latency_ms": timings["plain"].median_wall_ms(),
        "bare_latency_ms": timings["bare"].median_wall_ms(),
    }
    row.update((f"{name}_cpu_us", timings[name].median_cpu_us()) for name in ("qm4410", "plain", "bare"))
    row.update((f"{name}_unanswered", timings[name].unanswered) for name in ("qm4410", "plain", "bare"))
    return row


def rounds_against_pause(quick: bool) -> int:
    return 10 if quick else 30


def measure_against_pause(quick: bool) -> list[dict]:
    # A supply each: a reply that comes late on a shared line would be taken
    # by the next contender, and time its command instead.
    with virtual_supplies(3) as (port, plain_port, bare_port), contextlib.ExitStack() as stack:
        contenders = {
            "qm4410": stack.enter_context(connected_driver(port)),
            "plain": stack.enter_context(connected_plain_driver(plain_port)),
        }
        bare = stack.enter_context(serial.Serial(bare_port, 4800, 8, "N", 1, timeout=50))
        contenders["bare"] = functools.partial(bare_exchange, bare, STATUS_REQUEST)
        rows = against_pause(contenders, rounds_against_pause(quick))
    print("  latency against the pause: done", file=sys.stderr)
    return rows


def measure_slow_line(quick: bool, baud: int = 4800) -> dict:
    """Per command at `baud`: latency next to the time the bytes need."""
    calls = 3 if quick else 7
    rows = []
    with virtual_supply("--line-speed", str(baud)) as port, connected_driver(port) as driver, quiet_stdout():
        for command in DEVICE_COMMANDS:
            timings = Timings(command_answered(command))
            for _ in range(calls):
                timings.time(command.bound_to(driver))
            rows.append(
                {
                    "command": command.name,
                    "median_ms": timings.median_wall_ms(),
                    "max_ms": max(timings.wall) * 1e3,
                    "unanswered": timings.unanswered,
                }
            )
    refuse_unanswered(rows, f"latency at {baud} baud")
    print(f"  latency at {baud} baud: done", file=sys.stderr)
    return {"baud": baud, "wire_ms": wire_time(baud) * 1e3, "poll_ms": POLL_INTERVAL * 1e3, "rows": rows}
