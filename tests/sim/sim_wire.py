"""Raw frames for talking to qm4410-sim, built here independently of the
C++ frame code so that the tests check it rather than repeat it."""

import time

import serial

from frames import frame  # noqa: F401 (the simulator tests build frames as the others do)

FRAME_LENGTH = 26
POLL_INTERVAL = 0.01
POLLS = 30

SET_WORK_MODE = 0x20
SET_OUT_MODE = 0x21
SET_MAX_VOLTAGE = 0x22
SET_VOLTAGE = 0x23
SET_CURRENT = 0x24
SET_ADDRESS = 0x25
READ_STATUS = 0x26
READ_IDENTITY = 0x31
RESTORE_FACTORY = 0x32


def open_line(port):
    """A raw client connection to the simulator's port."""
    return serial.Serial(port, 4800, timeout=1)


def checksum(data):
    return sum(data[:25]) & 0xFF




def setpoint(word, milli, address=1):
    return frame(address, word, milli.to_bytes(4, "little"))


def is_valid(reply):
    return reply is not None and len(reply) == FRAME_LENGTH and reply[0] == 0xAA and reply[25] == checksum(reply)


def transact(port, request):
    """What the driver does: write, then poll every 10 ms, 30 times, and read
    only when exactly one frame is waiting. Returns the frame or None."""
    port.write(request)
    for _ in range(POLLS):
        time.sleep(POLL_INTERVAL)
        if port.in_waiting == FRAME_LENGTH:
            return port.read(FRAME_LENGTH)
    return None


def watch(port, request, seconds, step=0.002):
    """Writes `request` and samples the waiting-byte count for `seconds`.
    Returns [(elapsed, waiting), ...] and all bytes that arrived."""
    port.write(request)
    start = time.monotonic()
    samples = []
    while (elapsed := time.monotonic() - start) < seconds:
        samples.append((elapsed, port.in_waiting))
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


def echo_of(request):
    """The acknowledgement of a setting: address and word kept, data zero."""
    return frame(request[1], request[2])
