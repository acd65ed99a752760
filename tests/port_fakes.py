"""Stand-ins for pyserial and a supply that answers on a fake port.

Used by the port-management and demonstration tests; the driver looks the
modules up in its globals when it runs, so tests swap them in with
monkeypatch.setattr(qm4410, "serial", FakeSerialModule()) and so on.
"""

from frames import identity_reply


def answers_identity(model, addr=1):
    """A supply that answers only the identity request."""
    return lambda request: identity_reply(model, addr) if request[2] == 0x31 else None


class FakeSerialException(Exception):
    pass


class FakePort:
    """A port object: what is written goes to `answer`, whose reply waits to be read."""

    def __init__(self, answer=None, log=None, close_error=None):
        self.answer = answer
        self.log = log if log is not None else []
        self.close_error = close_error
        self.written = []
        self.pending = bytearray()
        self.close_calls = 0
        self.write_error = None

    def write(self, data):
        data = bytes(data)
        self.log.append(("write", data))
        if self.write_error is not None:
            raise self.write_error
        self.written.append(data)
        reply = self.answer(data) if self.answer else None
        if reply:
            self.pending += reply
        return len(data)

    def inWaiting(self):
        return len(self.pending)

    def read(self, size):
        data = bytes(self.pending[:size])
        del self.pending[:size]
        return data

    def close(self):
        self.close_calls += 1
        self.log.append(("close", self))
        if self.close_error is not None:
            raise self.close_error


class FakeSerialModule:
    """`serial` as the driver uses it: Serial(...), serial_for_url(...) and
    SerialException. Calls of Serial go to `calls`, of serial_for_url to
    `url_calls`; both open a port made by `make_port`."""

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


class FakeTime:
    def __init__(self, log=None):
        self.sleeps = []
        self.log = log if log is not None else []

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.log.append(("sleep", seconds))
