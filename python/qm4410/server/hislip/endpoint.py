"""HiSLIP (IVI-6.1), the VISA instrument protocol of LXI instruments: the
supply as TCPIP::HOST::hislip0,PORT::INSTR, on port 4880 by default.

Both channels of a session come to the one port; the first message of a
connection says which it is (Initialize: synchronous, AsyncInitialize:
asynchronous). A session's idle time counts from the last message on
either channel, so the watcher here hangs up idle sessions rather than the
listener, which would take a quiet asynchronous channel for an idle
client. The watcher also ends connections that do not complete their
initialization in time, and sends the service requests that the guard's
readings make due."""

import contextlib
import dataclasses
import logging
import threading
import time
from collections.abc import Callable

from ..endpoints import Context, TcpEndpoint
from ..held_supply import Asker
from ..instrument import InstrumentSession
from ..listener import Client
from ..scpi.reporting import Conditions
from ..stream import Gone
from .framing import VENDOR_ID, VERSION, Fatal, Header, Kind, Malformed, Reader, message
from .session import SYNCHRONIZED, Fault, HislipSession, kind_name

log = logging.getLogger("qm4410.serve")

SUB_ADDRESS = "hislip0"
# A connection must have sent its Initialize (or AsyncInitialize), and a
# session must have its asynchronous channel, this long after connecting;
# the idle time-out, when shorter, instead.
INITIALIZATION_S = 5.0
WATCH_EVERY_S = 0.25
SESSION_IDS = 1 << 16


class Hislip(TcpEndpoint):
    """HiSLIP 2.0 (taking clients of 1.0 and 1.1 at their own version), in
    the synchronized mode, without its optional encryption and
    authentication."""

    name = "hislip"
    default_port = 4880
    resource_form = "TCPIP::{host}::" + SUB_ADDRESS + ",{port}::INSTR"

    def __init__(self, port: int | None = None, host: str | None = None) -> None:
        super().__init__(port, host)
        self._conditions: Conditions | None = None
        self._unlisten: Callable[[], None] | None = None
        self._idle_timeout: float | None = None
        self._lock = threading.Lock()
        self._sessions: dict[int, HislipSession] = {}
        self._arrivals: dict[Client, float] = {}  # connections not yet initialized: by when they must be
        self._next_number = 1
        self._service_due = threading.Event()
        self._stopping = threading.Event()
        self._watcher = threading.Thread(target=self._watch, name="hislip watcher", daemon=True)

    def listen(self, context: Context) -> None:
        super().listen(dataclasses.replace(context, idle_timeout=None))
        self._idle_timeout = context.idle_timeout
        self._conditions = Conditions(context.guard)
        # A reading of the guard's may raise an enabled event, and so a service request.
        self._unlisten = context.guard.add_listener(lambda status: self._service_due.set())

    def start(self) -> None:
        super().start()
        self._watcher.start()

    def close(self) -> None:
        self._stopping.set()
        self._service_due.set()
        super().close()
        if self._watcher.is_alive():
            self._watcher.join()
        unlisten, self._unlisten = self._unlisten, None
        if unlisten is not None:
            unlisten()
        conditions, self._conditions = self._conditions, None
        if conditions is not None:
            conditions.close()

    @property
    def initialization_s(self) -> float:
        return min(INITIALIZATION_S, self._idle_timeout or INITIALIZATION_S)

    def serve_client(self, client: Client, context: Context) -> None:
        conditions = self._conditions
        if conditions is None:
            return  # closed meanwhile
        with self._lock:
            self._arrivals[client] = time.monotonic() + self.initialization_s
        reader = Reader(client)
        session: HislipSession | None = None
        try:
            header = reader.header()
            if header.kind == Kind.INITIALIZE:
                session = self._initialize(client, reader, header, context, conditions)
                session.serve_sync(reader)
            elif header.kind == Kind.ASYNC_INITIALIZE:
                session = self._join(client, reader, header)
                session.serve_async(reader)
            else:
                raise Fault(Fatal.INVALID_INITIALIZATION, f"{kind_name(header.kind)} came before Initialize")
        except Malformed as malformed:
            _fatal(client, Fault(Fatal.POORLY_FORMED_HEADER, str(malformed)))
        except Fault as fault:
            _fatal(client, fault)
        except Gone:
            pass
        finally:
            with self._lock:
                self._arrivals.pop(client, None)
                if session is not None and self._sessions.get(session.number) is session:
                    del self._sessions[session.number]
            if session is not None:
                session.end()

    def _initialize(
        self, client: Client, reader: Reader, header: Header, context: Context, conditions: Conditions
    ) -> HislipSession:
        """Initialize: the client's protocol version (upper 16 bits of the
        parameter) and the sub-address it opens (the payload); answered with
        the version both speak, the mode, and the new session's ID."""
        if header.length > len(SUB_ADDRESS) * 4:
            raise Fault(Fatal.INVALID_INITIALIZATION, f"a sub-address of {header.length} bytes")
        sub_address = reader.exactly(header.length).decode("latin-1")
        if sub_address.lower() not in ("", SUB_ADDRESS):
            raise Fault(Fatal.INVALID_INITIALIZATION, f"no instrument {sub_address!r} here, only {SUB_ADDRESS}")
        version = min(header.parameter >> 16, VERSION)
        instrument = InstrumentSession(context, conditions, Asker(client.endpoint, client.name))
        with self._lock:
            number = self._free_number()
            if number is None:
                instrument.close()
                raise Fault(Fatal.TOO_MANY_CLIENTS, "every session ID is taken")
            session = HislipSession(number, client, instrument, version)
            self._sessions[number] = session
        client.write(message(Kind.INITIALIZE_RESPONSE, SYNCHRONIZED, (version << 16) | number))
        log.info("%s: HiSLIP %d.%d, session %d", client.name, version >> 8, version & 0xFF, number)
        return session

    def _join(self, client: Client, reader: Reader, header: Header) -> HislipSession:
        """AsyncInitialize: the session its parameter names gets its
        asynchronous channel."""
        reader.skip(header.length)
        number = header.parameter & 0xFFFF
        with self._lock:
            session = self._sessions.get(number)
            if session is None or session.joined:
                raise Fault(Fatal.INVALID_INITIALIZATION, f"no session {number} waits for its asynchronous channel")
            session.join(client)
            self._arrivals.pop(client, None)
            self._arrivals.pop(session.sync, None)
        # No secure connection is offered (control code 0).
        client.write(message(Kind.ASYNC_INITIALIZE_RESPONSE, 0, VENDOR_ID))
        log.info("%s: the asynchronous channel of session %d", client.name, number)
        return session

    def _free_number(self) -> int | None:
        for _ in range(SESSION_IDS):
            number, self._next_number = self._next_number, self._next_number % (SESSION_IDS - 1) + 1
            if number not in self._sessions:
                return number
        return None

    def _watch(self) -> None:
        while not self._stopping.is_set():
            if self._service_due.wait(WATCH_EVERY_S):
                self._service_due.clear()
            with self._lock:
                sessions = list(self._sessions.values())
                late = [client for client, by in self._arrivals.items() if time.monotonic() > by]
            for session in sessions:
                with contextlib.suppress(OSError):
                    session.request_service_if_due()
            for client in late:
                _fatal(
                    client, Fault(Fatal.INVALID_INITIALIZATION, f"no initialization within {self.initialization_s:g} s")
                )
            self._reap(sessions)

    def _reap(self, sessions: list[HislipSession]) -> None:
        """Sessions idle past the idle time-out are hung up; a joined
        session's quiet asynchronous channel looks as idle as the session to
        the listener, which makes room by hanging up the idlest client."""
        now = time.monotonic()
        for session in sessions:
            asynchronous = session.asynchronous
            if asynchronous is not None and asynchronous.idle_since is not None:
                asynchronous.idle_since = max(asynchronous.idle_since, session.last_heard)
            if self._idle_timeout is not None and now - session.last_heard > self._idle_timeout:
                session.sync.hang_up(f"its session sent nothing for {self._idle_timeout:g} s, the idle time-out")
                session.end()


def _fatal(client: Client, fault: Fault) -> None:
    """FatalError, with its code and words, and the connection ends."""
    log.info("%s: FatalError %d: %s", client.name, fault.code, fault)
    with contextlib.suppress(OSError):
        client.write(message(Kind.FATAL_ERROR, fault.code, payload=str(fault).encode()))
    client.hang_up(f"FatalError: {fault}")
