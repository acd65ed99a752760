"""VXI-11's core and abort channels over the one SCPI engine: each link a
client makes is an instrument session of its own; its calls wait for the
device lock up to their lock_timeout (when they ask to wait at all) and for
a response up to their io_timeout, and device_abort, on the abort channel,
ends either wait."""

import enum
import itertools
import logging
import threading
from collections import deque
from collections.abc import Callable

from ..device_lock import Granted
from ..endpoints import Context
from ..held_supply import Asker
from ..instrument import InstrumentSession
from ..listener import Client
from ..scpi.errors import QUERY_INTERRUPTED, ScpiError
from ..scpi.reporting import Conditions
from .framing import Packer, Procedure, Unpacker

log = logging.getLogger("qm4410.serve")

DEVICE_CORE = 0x0607AF
DEVICE_ASYNC = 0x0607B0
VERSION = 1
DEVICE = "inst0"
# The most a device_write carries (maxRecvSize, told at create_link); VISA
# writes more in several. A record may be this long and its header more.
MAX_RECEIVE = 1 << 16
MOST_RECORD = MAX_RECEIVE + 1024
MOST_LINKS = 16  # per connection: each is a session of its own
MOST_NAME = 64  # bytes of a device name
# A read that finds no response waits out its io_timeout (nothing can come
# later: every message is carried out as it is written), this long at most.
MOST_READ_WAIT_S = 60.0


class Call(enum.IntEnum):
    CREATE_LINK = 10
    DEVICE_WRITE = 11
    DEVICE_READ = 12
    DEVICE_READSTB = 13
    DEVICE_TRIGGER = 14
    DEVICE_CLEAR = 15
    DEVICE_REMOTE = 16
    DEVICE_LOCAL = 17
    DEVICE_LOCK = 18
    DEVICE_UNLOCK = 19
    DEVICE_ENABLE_SRQ = 20
    DEVICE_DOCMD = 22
    DESTROY_LINK = 23
    CREATE_INTR_CHAN = 25
    DESTROY_INTR_CHAN = 26


DEVICE_ABORT = 1


class Error(enum.IntEnum):
    NONE = 0
    DEVICE_NOT_ACCESSIBLE = 3
    INVALID_LINK = 4
    PARAMETER = 5
    NOT_SUPPORTED = 8
    OUT_OF_RESOURCES = 9
    LOCKED = 11
    NO_LOCK_HELD = 12
    IO_TIMEOUT = 15
    ABORT = 23


# Device_Flags, and a read's reasons for ending.
WAIT_LOCK = 1
END = 8
TERMCHAR_SET = 128
REQUEST_COUNT = 1
CHARACTER = 2
END_REASON = 4


class Link:
    """A link: its instrument session and the responses not yet read."""

    def __init__(self, number: int, instrument: InstrumentSession) -> None:
        self.number = number
        self.instrument = instrument
        self.aborted = threading.Event()  # device_abort, or the server stopping
        self._output: deque[bytes] = deque()
        self._read = 0  # of the first response

    @property
    def answer_waiting(self) -> bool:
        return bool(self._output)

    def write(self, data: bytes, end: bool) -> None:
        if self._output:
            # 488.2's INTERRUPTED: a new message before the response was read.
            self.forget_output()
            self.instrument.report(ScpiError(QUERY_INTERRUPTED, "a message came before the response was read"))
        self._output.extend(self.instrument.take(data, end))

    def read(self, size: int, termination: int | None) -> tuple[bytes, int]:
        """Up to `size` bytes of the first response, ending early after the
        termination character if one is set: the bytes, and the reasons the
        read ended."""
        response = self._output[0]
        piece = response[self._read : self._read + size]
        reason = 0
        if termination is not None and (at := piece.find(termination)) >= 0:
            piece = piece[: at + 1]
            reason |= CHARACTER
        self._read += len(piece)
        if self._read == len(response):
            self._output.popleft()
            self._read = 0
            reason |= END_REASON
        elif len(piece) == size:
            reason |= REQUEST_COUNT
        return piece, reason

    def forget_output(self) -> None:
        self._output.clear()
        self._read = 0


class Links:
    """The links of one endpoint, each owned by the connection that made it."""

    def __init__(self, context: Context, conditions: Conditions, abort_port: Callable[[], int]) -> None:
        self._context = context
        self._conditions = conditions
        self._abort_port = abort_port
        self._lock = threading.Lock()
        self._links: dict[int, tuple[Link, Client]] = {}
        self._numbers = itertools.count(1)

    def core_procedures(self, client: Client) -> dict[int, Procedure]:
        """The core channel's procedures, for calls on `client`'s connection."""
        core = _Core(self, client)
        return {
            0: lambda arguments: b"",
            Call.CREATE_LINK: core.create_link,
            Call.DEVICE_WRITE: core.write,
            Call.DEVICE_READ: core.read,
            Call.DEVICE_READSTB: core.generic(_status_byte, Packer().uint(0).bytes()),
            Call.DEVICE_TRIGGER: core.generic(_done(lambda link: link.instrument.trigger())),
            Call.DEVICE_CLEAR: core.generic(_done(_clear)),
            Call.DEVICE_REMOTE: core.generic(_done(lambda link: link.instrument.control(True))),
            Call.DEVICE_LOCAL: core.generic(_done(lambda link: link.instrument.control(False))),
            Call.DEVICE_LOCK: core.lock,
            Call.DEVICE_UNLOCK: core.unlock,
            Call.DEVICE_ENABLE_SRQ: _unsupported,
            Call.DEVICE_DOCMD: _unsupported,
            Call.DESTROY_LINK: core.destroy_link,
            Call.CREATE_INTR_CHAN: _unsupported,
            Call.DESTROY_INTR_CHAN: _unsupported,
        }

    def abort_procedures(self) -> dict[int, Procedure]:
        return {0: lambda arguments: b"", DEVICE_ABORT: self._abort}

    def new(self, client: Client) -> Link | None:
        with self._lock:
            if sum(owner is client for _, owner in self._links.values()) >= MOST_LINKS:
                return None
            number = next(self._numbers) & 0x7FFF_FFFF
            instrument = InstrumentSession(
                self._context, self._conditions, Asker(client.endpoint, f"{client.name} link {number}")
            )
            link = Link(number, instrument)
            self._links[number] = (link, client)
        return link

    def of(self, number: int, client: Client) -> Link | None:
        """The link `number` if `client`'s connection made it."""
        with self._lock:
            link, owner = self._links.get(number, (None, None))
        return link if owner is client else None

    def destroy(self, link: Link) -> None:
        with self._lock:
            self._links.pop(link.number, None)
        link.aborted.set()
        link.instrument.close()

    def destroy_all(self, client: Client | None = None) -> None:
        """Every link of `client`'s connection (None: every link)."""
        with self._lock:
            links = [link for link, owner in self._links.values() if client is None or owner is client]
        for link in links:
            self.destroy(link)
        self._context.device_lock.wake()

    @property
    def abort_port(self) -> int:
        return self._abort_port()

    def _abort(self, arguments: Unpacker) -> bytes:
        number = arguments.signed()
        with self._lock:
            link, _ = self._links.get(number, (None, None))
        if link is None:
            return _error(Error.INVALID_LINK)
        link.aborted.set()
        self._context.device_lock.wake()
        log.info("%s aborted", link.instrument.name)
        return _error(Error.NONE)


class _Core:
    """The core channel's procedures, for one connection."""

    def __init__(self, links: Links, client: Client) -> None:
        self._links = links
        self._client = client

    def create_link(self, arguments: Unpacker) -> bytes:
        arguments.signed()  # the client's own ID, for its own use
        lock_device, lock_timeout = arguments.bool(), arguments.uint()
        device = arguments.opaque(MOST_NAME).decode("latin-1")
        nothing = (0, 0, 0)
        if device.lower() != DEVICE:
            log.info("%s asked for device %r: there is only %s", self._client.name, device, DEVICE)
            return _created(Error.DEVICE_NOT_ACCESSIBLE, *nothing)
        link = self._links.new(self._client)
        if link is None:
            return _created(Error.OUT_OF_RESOURCES, *nothing)
        if lock_device and self._acquire(link, lock_timeout) != Error.NONE:
            self._links.destroy(link)
            return _created(Error.LOCKED, *nothing)
        return _created(Error.NONE, link.number, self._links.abort_port, MAX_RECEIVE)

    def write(self, arguments: Unpacker) -> bytes:
        link = self._links.of(arguments.signed(), self._client)
        _, lock_timeout, flags = arguments.uint(), arguments.uint(), arguments.signed()
        data = arguments.opaque(MOST_RECORD)
        if link is None:
            return _written(Error.INVALID_LINK, 0)
        if len(data) > MAX_RECEIVE:
            return _written(Error.PARAMETER, 0)
        error = self._access(link, flags, lock_timeout)
        if error != Error.NONE:
            return _written(error, 0)
        link.write(data, bool(flags & END))
        return _written(Error.NONE, len(data))

    def read(self, arguments: Unpacker) -> bytes:
        link = self._links.of(arguments.signed(), self._client)
        size, io_timeout, lock_timeout = arguments.uint(), arguments.uint(), arguments.uint()
        flags, termination = arguments.signed(), arguments.signed() & 0xFF
        if link is None:
            return _read(Error.INVALID_LINK, 0, b"")
        error = self._access(link, flags, lock_timeout)
        if error != Error.NONE:
            return _read(error, 0, b"")
        if not link.answer_waiting:
            if link.aborted.wait(min(io_timeout / 1000, MOST_READ_WAIT_S)):
                return _read(Error.ABORT, 0, b"")
            return _read(Error.IO_TIMEOUT, 0, b"")
        data, reason = link.read(size, termination if flags & TERMCHAR_SET else None)
        return _read(Error.NONE, reason, data)

    def generic(self, act: Callable[[Link], bytes], unanswered: bytes = b"") -> Procedure:
        """A call of Device_GenericParms (link, flags, lock_timeout,
        io_timeout): its error, then what `act` gives (`unanswered` after an
        error, where the results have more than the error)."""

        def procedure(arguments: Unpacker) -> bytes:
            link = self._links.of(arguments.signed(), self._client)
            flags, lock_timeout = arguments.signed(), arguments.uint()
            arguments.uint()  # io_timeout: each of these is carried out at once
            error = Error.INVALID_LINK if link is None else self._access(link, flags, lock_timeout)
            if link is None or error != Error.NONE:
                return _error(error) + unanswered
            return _error(Error.NONE) + act(link)

        return procedure

    def lock(self, arguments: Unpacker) -> bytes:
        link = self._links.of(arguments.signed(), self._client)
        flags, lock_timeout = arguments.signed(), arguments.uint()
        if link is None:
            return _error(Error.INVALID_LINK)
        return _error(self._acquire(link, lock_timeout if flags & WAIT_LOCK else 0))

    def unlock(self, arguments: Unpacker) -> bytes:
        link = self._links.of(arguments.signed(), self._client)
        if link is None:
            return _error(Error.INVALID_LINK)
        released = link.instrument.lock.release(link.instrument)
        if released is not None:
            log.info("%s gives back the lock", link.instrument.name)
        return _error(Error.NONE if released else Error.NO_LOCK_HELD)

    def destroy_link(self, arguments: Unpacker) -> bytes:
        link = self._links.of(arguments.signed(), self._client)
        if link is None:
            return _error(Error.INVALID_LINK)
        self._links.destroy(link)
        return _error(Error.NONE)

    def _acquire(self, link: Link, lock_timeout: int) -> Error:
        link.aborted.clear()
        granted = link.instrument.lock.acquire(link.instrument, None, lock_timeout / 1000, link.aborted.is_set)
        log.info("%s asks for the lock: %s", link.instrument.name, granted.value)
        if granted == Granted.YES:
            return Error.NONE
        return Error.ABORT if link.aborted.is_set() else Error.LOCKED

    def _access(self, link: Link, flags: int, lock_timeout: int) -> Error:
        """Whether `link` may go on: at once, or once the lock lets it within
        lock_timeout when the call asks to wait for it."""
        link.aborted.clear()
        instrument = link.instrument
        if instrument.lock.wait_for_access(
            instrument, lock_timeout / 1000 if flags & WAIT_LOCK else 0, link.aborted.is_set
        ):
            return Error.NONE
        return Error.ABORT if link.aborted.is_set() else Error.LOCKED


def _status_byte(link: Link) -> bytes:
    return Packer().uint(link.instrument.status_byte(link.answer_waiting)).bytes()


def _done(action: Callable[[Link], None]) -> Callable[[Link], bytes]:
    def act(link: Link) -> bytes:
        action(link)
        return b""

    return act


def _clear(link: Link) -> None:
    link.instrument.clear()
    link.forget_output()


def _unsupported(arguments: Unpacker) -> bytes:
    """Service requests and the interrupt channel, and docmd, are not offered."""
    return _error(Error.NOT_SUPPORTED)


def _error(error: Error) -> bytes:
    return Packer().signed(error).bytes()


def _created(error: Error, link: int, abort_port: int, most: int) -> bytes:
    return Packer().signed(error).signed(link).uint(abort_port).uint(most).bytes()


def _written(error: Error, size: int) -> bytes:
    return Packer().signed(error).uint(size).bytes()


def _read(error: Error, reason: int, data: bytes) -> bytes:
    return Packer().signed(error).signed(reason).opaque(data).bytes()
