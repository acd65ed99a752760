"""The simulator tests' side of the line: a raw client connection to
qm4410-sim and what a client does on it. The frames come from fakes, built
in Python independently of the C++ frame code, so that these tests check
the simulator against them rather than against that code."""

import time

import serial
from fakes import FRAME_LENGTH

POLL_INTERVAL = 0.01
POLLS = 30
WATCH_AT_MOST_S = 30


def open_line(port):
    """A raw client connection to the simulator's port."""
    return serial.Serial(port, 4800, timeout=1)


def transact(port, request):
    """What the driver does: write, then poll every 10 ms, 30 times, and read
    only when exactly one frame is waiting. Returns the frame or None."""
    port.write(request)
    for _ in range(POLLS):
        time.sleep(POLL_INTERVAL)
        if port.in_waiting == FRAME_LENGTH:
            return port.read(FRAME_LENGTH)
    return None


def watch(port, request, seconds, step=0.002, until=None):
    """Writes `request` and samples the waiting-byte count for `seconds`,
    and past them until `until(waiting)` holds, if given: a starved machine
    may run the simulator late, never beyond WATCH_AT_MOST_S. Returns
    [(elapsed, waiting), ...] and all bytes that arrived."""
    port.write(request)
    start = time.monotonic()
    samples = []
    while (elapsed := time.monotonic() - start) < WATCH_AT_MOST_S:
        samples.append((elapsed, waiting := port.in_waiting))
        if elapsed >= seconds and (until is None or until(waiting)):
            break
        time.sleep(step)
    return samples, port.read(port.in_waiting)


def status_of(reply):
    le = int.from_bytes
    flags = reply[9]
    return {
        "current": le(reply[3:5], "little"),
        "voltage": le(reply[5:9], "little"),
        "on": bool(flags & 0x01),
        "hot": bool(flags & 0x02),
        "mode": {1: "CV", 2: "CC"}.get((flags >> 2) & 3, "XX"),
        "fan": (flags >> 4) & 7,
        "remote": bool(flags & 0x80),
        "current_set": le(reply[10:12], "little"),
        "voltage_max": le(reply[12:16], "little"),
        "voltage_set": le(reply[16:20], "little"),
    }
