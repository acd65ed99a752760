"""Fakes for the serial line: a scriptable port and a recording ``time``."""
import collections

TEMPLATE = (0xAA, 0xFF, 0x20) + (0,) * 22 + (0xCC,)


class FakeTime:
    """Stands in for the module's ``time``; ``sleep`` logs and optionally really sleeps."""

    def __init__(self, log, real=0.0):
        self.log, self.real = log, real

    def sleep(self, seconds):
        self.log.append(("sleep", seconds))
        if self.real:
            import time
            time.sleep(self.real)


class FakePort:
    """Records every call in ``log``, in order, as (name, argument/result) tuples.

    ``reply(*chunks)`` scripts the answer to the next ``write``: one chunk is
    appended to the input buffer at each later ``inWaiting`` call (``b""`` for
    a poll at which nothing new arrives). Chunks not yet delivered when the
    next write comes keep arriving, one per poll, like bytes still in flight.
    ``buffer`` may be filled directly for bytes already waiting.
    """

    def __init__(self, log=None):
        self.log = [] if log is None else log
        self.buffer = bytearray()
        self.scripts = collections.deque()
        self.streams = []
        self.reads = []

    def reply(self, *chunks):
        self.scripts.append(list(chunks))
        return self

    def write(self, data):
        self.log.append(("write", data))
        if self.scripts:
            self.streams.append(collections.deque(self.scripts.popleft()))
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

    def writes(self):
        return [arg for name, arg in self.log if name == "write"]
