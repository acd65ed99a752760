"""What the tests put in place of the line, the port and the clock.

Frames are built here in Python, byte by byte, independently of the C++
frame code, so that the tests check that code rather than repeat it. The
driver looks its modules up in its globals when it runs, so a test swaps
these in with monkeypatch.setattr(qm4410, "serial", FakeSerialModule()),
monkeypatch.setattr(qm4410, "time", FakeClock()) and so on.
"""

import collections
import time

# Frames: 26 bytes, start byte 0xAA, bus address, command word, data in bytes
# 3..24, and the low 8 bits of the sum of bytes 0..24 last.

FRAME_LENGTH = 26
SET_WORK_MODE = 0x20
SET_OUT_MODE = 0x21
SET_MAX_VOLTAGE = 0x22
SET_VOLTAGE = 0x23
SET_CURRENT = 0x24
SET_ADDRESS = 0x25
READ_STATUS = 0x26
READ_IDENTITY = 0x31
RESTORE_FACTORY = 0x32
# The words a request can carry; a reply carrying one of them answers that request.
REQUEST_WORDS = frozenset(
    {
        SET_WORK_MODE,
        SET_OUT_MODE,
        SET_MAX_VOLTAGE,
        SET_VOLTAGE,
        SET_CURRENT,
        SET_ADDRESS,
        READ_STATUS,
        READ_IDENTITY,
        RESTORE_FACTORY,
    }
)
# The driver's request template: broadcast address, a placeholder checksum.
TEMPLATE = (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)


def checksum(data):
    return sum(data[:25]) & 0xFF


def sealed(frame):
    """The frame with its last byte replaced by the checksum of the others."""
    return bytes(frame[:25]) + bytes([checksum(frame)])


def frame(addr, word, data=b"", start=0xAA):
    """A frame with a correct checksum; ``data`` fills bytes 3 onward."""
    body = bytes([start, addr, word]) + bytes(data) + bytes(max(0, 22 - len(data)))
    return body + bytes([sum(body) & 0xFF])


def request(word, units=0, address=0xFF):
    """A request as the driver builds it, a set-point's units (mV, mA) in bytes 3..6."""
    return frame(address, word, units.to_bytes(4, "little"))


def echo_of(request):
    """A supply's acknowledgement of a setting: address and word kept, data zero."""
    return frame(request[1], request[2])


def is_valid(reply):
    return reply is not None and len(reply) == FRAME_LENGTH and reply[0] == 0xAA and reply[25] == checksum(reply)


def identity_reply(model=b"4410", addr=1, serial=b"076787041", version=373, byte7=0, tail=bytes(6)):
    """The reply to the identity request: model in bytes 3..6, version in
    8..9, serial number in 10..18. Text may be given as str or bytes."""

    def encode(text):
        return text.encode("latin-1") if isinstance(text, str) else text

    return frame(
        addr, READ_IDENTITY, encode(model) + bytes([byte7]) + version.to_bytes(2, "little") + encode(serial) + tail
    )


def answers_identity(model, addr=1):
    """A supply, for FakePort's `answer`, that answers only the identity request."""
    return lambda request: identity_reply(model, addr) if request[2] == READ_IDENTITY else None


# The port and pyserial.


class FakePort:
    """A port object with a supply behind it. Records every call in ``log``,
    in order, as (name, argument or result) tuples.

    The supply answers in one of two ways. ``answer(request)``, given, makes
    the reply to each write at once (None: no reply). ``reply(*chunks)``
    scripts the answer to the next write instead: one chunk is appended to
    the input buffer at each later ``inWaiting`` call (``b""`` for a poll at
    which nothing new arrives); chunks not yet delivered when the next write
    comes keep arriving, one per poll, like bytes still in flight.
    ``buffer`` may be filled directly for bytes already waiting.
    ``write_error`` and ``close_error``, when set, are raised by write (after
    it is logged) and by close.
    """

    def __init__(self, answer=None, log=None, close_error=None):
        self.answer = answer
        self.log = [] if log is None else log
        self.close_error = close_error
        self.write_error = None
        self.buffer = bytearray()
        self.scripts = collections.deque()
        self.streams = []
        self.reads = []
        self.close_calls = 0

    def reply(self, *chunks):
        self.scripts.append(list(chunks))
        return self

    def write(self, data):
        data = bytes(data)
        self.log.append(("write", data))
        if self.write_error is not None:
            raise self.write_error
        if self.scripts:
            self.streams.append(collections.deque(self.scripts.popleft()))
        elif self.answer is not None:
            self.buffer += self.answer(data) or b""
        return len(data)

    def inWaiting(self):
        for stream in self.streams:
            if stream:
                self.buffer += stream.popleft()
        self.streams = [s for s in self.streams if s]
        self.log.append(("inWaiting", len(self.buffer)))
        return len(self.buffer)

    def read(self, size):
        self.log.append(("read", size))
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        self.reads.append(data)
        return data

    def close(self):
        self.close_calls += 1
        self.log.append(("close", self))
        if self.close_error is not None:
            raise self.close_error

    def writes(self):
        return [arg for name, arg in self.log if name == "write"]


class FakeSerialException(Exception):
    pass


class FakeSerialModule:
    """`serial` as the driver uses it: Serial(...), serial_for_url(...) and
    SerialException. Calls of Serial go to `calls`, of serial_for_url to
    `url_calls`; both open a port made by `make_port` (or raise `error`)."""

    SerialException = FakeSerialException

    def __init__(self, make_port=FakePort, error=None):
        self.make_port = make_port
        self.error = error
        self.calls = []
        self.url_calls = []
        self.ports = []

    def Serial(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self._open()

    def serial_for_url(self, *args, **kwargs):
        self.url_calls.append((args, kwargs))
        return self._open()

    def _open(self):
        if self.error is not None:
            raise self.error
        port = self.make_port()
        self.ports.append(port)
        return port


# The clock.


class FakeClock:
    """Stands in for the module ``time`` where code sleeps and reads the
    clock: ``monotonic()`` is ``now``, which only sleeps and what a fake
    charges to it (``clock.now += seconds``) move. Every sleep is recorded in
    ``sleeps`` and, as ("sleep", seconds), in ``log``; with ``real`` each
    one also really sleeps that long, so that other threads get to run."""

    def __init__(self, log=None, real=0.0):
        self.log = [] if log is None else log
        self.real = real
        self.sleeps = []
        self.now = 1000.0

    def monotonic(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.log.append(("sleep", seconds))
        self.now += seconds
        if self.real:
            time.sleep(self.real)
