"""The driver's own cost per command: everything it touches on the port and
the clock is a C-level callable, so what is timed is the driver itself."""

import collections
import contextlib
import itertools
import os
import sys
import timeit
import types

import plain_driver
from commands import COMMANDS, FRAME_LENGTH

import qm4410

DRIVER_MODULES = {"qm4410": qm4410, "plain": plain_driver}


def c_level_port(reply: bytes) -> types.SimpleNamespace:
    """A port that takes any write and always has `reply` waiting."""
    return types.SimpleNamespace(
        write=collections.deque(maxlen=1).append,
        inWaiting=itertools.repeat(FRAME_LENGTH).__next__,
        read={FRAME_LENGTH: reply}.get,
    )


def c_level_clock() -> types.SimpleNamespace:
    """A stand-in for the time module whose sleep returns at once."""
    return types.SimpleNamespace(sleep=collections.deque(maxlen=0).append)


@contextlib.contextmanager
def instant_clocks():
    """Both drivers' `time` replaced, and restored afterwards."""
    saved = {name: module.time for name, module in DRIVER_MODULES.items()}
    try:
        for module in DRIVER_MODULES.values():
            module.time = c_level_clock()
        yield
    finally:
        for name, module in DRIVER_MODULES.items():
            module.time = saved[name]


@contextlib.contextmanager
def quiet_stdout():
    """Printed replies go to the null device, for both drivers alike."""
    with open(os.devnull, "w") as devnull, contextlib.redirect_stdout(devnull):
        yield


def driver_with_port(module, command):
    driver = module.QM4410("/dev/null")
    if command.exchanges:
        driver.ser = c_level_port(command.reply)
    return driver


def best_ns_per_call(call, repeats: int, seconds_per_repeat: float) -> float:
    """The fastest of `repeats` timeit runs, in ns per call: the run least
    disturbed by the rest of the machine."""
    timer = timeit.Timer(call)
    probe = 1000
    loops = max(probe, int(probe * seconds_per_repeat / timer.timeit(probe)))
    return min(timer.repeat(repeats, loops)) / loops * 1e9


def answered(result, command) -> bool:
    """Whether `result` is what `command` returns when it got its reply (the
    identity read returns nothing either way, so it counts as answered)."""
    return not command.exchanges or command.name == "_QM4410__read_device_version" or bool(result)


def check_answered(call, command):
    """A failed exchange is a shorter path than a good one: refuse to time it."""
    result = call()
    if not answered(result, command):
        raise RuntimeError(f"{command.name} did not take its reply: {result!r}")


def timing_plan(quick: bool) -> tuple[int, float]:
    """Repeats per command and driver, and seconds per repeat."""
    return (3, 0.02) if quick else (7, 0.05)


def measure(quick: bool) -> list[dict]:
    repeats, seconds = timing_plan(quick)
    rows = []
    with instant_clocks(), quiet_stdout():
        for command in COMMANDS:
            row = {"command": command.name}
            for name, module in DRIVER_MODULES.items():
                call = command.bound_to(driver_with_port(module, command))
                check_answered(call, command)
                row[f"{name}_ns"] = best_ns_per_call(call, repeats, seconds)
            row["speedup"] = row["plain_ns"] / row["qm4410_ns"]
            rows.append(row)
    print(f"  driver cost: {len(rows)} commands timed", file=sys.stderr)
    return rows
