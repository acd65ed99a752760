"""The supply the server holds: one driver shared by every client's thread,
whose line (qm4410.supply.line) takes their exchanges one at a time, in
the order of their classes and deadlines, and reads the status once for
every reader within its bound; what keeps each reply with the client whose
frame it answers; and what becomes of them all when its port goes away."""

import contextlib
import logging
import threading
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple, TypeVar

from qm4410 import QM4410, _line

from ..supply import wire
from ..supply.errors import PortGone, Refused
from ..supply.line import DEFAULT_MAX_AGE_S, Late, Line, Priority, Reading
from ..supply.link import Link
from ..supply.opening import open_driver
from ..supply.status import Identity
from ..supply.switch_off import switch_off
from .errors import SupplyGone

log = logging.getLogger("qm4410.serve")

Result = TypeVar("Result")


class Asker(NamedTuple):
    """Who asks for the line: an endpoint, and one of its clients, by its
    name in the log."""

    endpoint: str
    name: str


SERVER = Asker("server", "the server")


class Exchanged(NamedTuple):
    """What came of a client's frame: the reply to pass on (None: none),
    and how it went, for the log."""

    reply: bytes | None
    outcome: str


class _Held(NamedTuple):
    driver: QM4410
    identity: Identity


class HeldSupply:
    """The supply on `port`, as the server holds it: opened by `open()`
    (Refused when it cannot be), its commands sent through `run()` and its
    status read through `status()`, each in its turn on the line, which
    raise SupplyGone once the port has gone. Then `gone` is set, `reason`
    says why, and each watcher has been told; `reopen()` tries to open it
    again. A status reading serves every reader within `max_age` seconds of
    its reply (see qm4410.supply.line).

    A client gets back only a reply to its own frame, or nothing: the
    driver's rule takes no frame from another bus address or with another
    request's word for a reply; a second copy of a reply that comes within
    the line's quiet of it is read away before another client's request is
    written, and a late reply by the driver's settling of the line; a reply
    that may be another request's (`doubtful`) is passed to no client of
    the supply's own protocol (see exchange)."""

    def __init__(self, port: str, max_age: float = DEFAULT_MAX_AGE_S) -> None:
        self.port = port
        self.max_age = max_age
        self._lock = threading.Lock()
        self._held: _Held | None = None
        self._line: Line | None = None
        self._watchers: set[Callable[[str], None]] = set()
        self._request_listeners: list[Callable[[bytes, bytes | None], object]] = []
        self.gone = threading.Event()
        self.reason = ""

    def open(self) -> None:
        """Open the supply on the port and read its identity; Refused, with
        its kind and what to do, when that fails."""
        driver = open_driver(self.port)
        link = Link(driver)
        held = _Held(driver, link.identity())
        if self._line is None:
            self._line = Line(link, max_age=self.max_age, heard=self._note, present=self._holding)
        else:
            with self._line.turn(Priority.SAFETY):
                self._line.replace(link)
        with self._lock:
            self._held = held
            self.gone.clear()

    def reopen(self) -> bool:
        """After the port went away: let go of what is left of it and try,
        once, to open the supply again."""
        self.close()
        try:
            self.open()
        except Refused as refusal:
            log.debug("the supply is not back yet: %s", refusal.text)
            return False
        log.info("the supply is back on %s", self.port)
        return True

    def close(self) -> None:
        """Let go of the port, in a turn of the line's before every other
        request: no exchange is under way on the driver as it closes, and a
        request whose turn comes after finds the supply gone."""
        line = self._line
        with contextlib.nullcontext() if line is None else line.turn(Priority.SAFETY):
            with self._lock:
                held, self._held = self._held, None
            if held is not None:
                with contextlib.suppress(OSError):  # a port that has gone may fail to close
                    held.driver.close()

    def identity(self) -> Identity:
        """The identity read when the supply was opened; no exchange."""
        return self._holding().identity

    def address(self) -> int:
        """The supply's bus address, read when it was opened; no exchange."""
        return _line.address(self._holding().driver)

    def run(
        self,
        action: Callable[[Link], Result],
        asker: Asker = SERVER,
        word: int | None = None,
        priority: Priority = Priority.SETPOINT,
        by: float | None = None,
    ) -> Result:
        """`action` on the supply's link, in its turn on the line at
        `priority`: what it returns, or SupplyGone when the port has gone
        (before or during it). `word` is that of the one request the action
        sends, if it is known; with `by`, Late when the line's plan says
        its reply could not come by then, and the action is not run."""

        def held_action(link: Link) -> Result:
            held = self._holding()
            try:
                return action(link)
            except PortGone as error:
                self._lose(held, error)
                raise SupplyGone(self.reason) from None

        return self._on_line().run(held_action, priority, asker=asker, word=word, by=by)

    def status(
        self,
        priority: Priority = Priority.READING,
        by: float | None = None,
        max_age: float | None = None,
        newer_than: float | None = None,
    ) -> Reading | None:
        """A status reading no older than `max_age` (None: the server's
        bound) and answered after `newer_than`, shared with every reader it
        can serve (see qm4410.supply.line.Line.status). None when the supply
        did not answer; SupplyGone when the port has gone; Late when `by`
        could not be kept."""
        held = self._holding()
        try:
            return self._on_line().status(max_age, priority, by=by, newer_than=newer_than)
        except PortGone as error:
            self._lose(held, error)
            raise SupplyGone(self.reason) from None

    def exchange(self, frame: bytes, asker: Asker, by: float) -> Exchanged:
        """One request frame of a client's, answered only if its reply can
        be passed on by the moment `by` (as time.monotonic() counts): when
        the line's plan says it would come later (the settling the driver
        still owes, and the slowest of the supply's recent replies to the
        word), the frame is not sent at all, so that a client whose driver
        has given up is not told of a failure for a setting that was carried
        out. A status request is answered with the supply's own reply frame
        of a reading within the server's bound. A reply that comes later
        all the same is not passed on, nor is one that may be another
        request's."""
        word = wire.word_of(frame)
        started = time.monotonic()
        try:
            if word == wire.READ_STATUS:
                reading = self.status(Priority.DEADLINE, by)
                reply, doubtful = (None, False) if reading is None else (reading.reply, reading.doubtful)
            else:
                exchange = self.run(lambda link: link.exchange(frame), asker, word, Priority.DEADLINE, by)
                reply, doubtful = exchange.reply, exchange.doubtful
        except Late as late:
            return Exchanged(None, str(late))
        took = (time.monotonic() - started) * 1e3
        if reply is None:
            return Exchanged(None, f"unanswered after {took:.1f} ms")
        if doubtful:
            return Exchanged(None, f"answered after {took:.1f} ms by a frame that may be another request's reply")
        if time.monotonic() > by:
            return Exchanged(None, f"answered after {took:.1f} ms, too late to pass on")
        return Exchanged(reply, f"answered in {took:.1f} ms, {(by - time.monotonic()) * 1e3:.0f} ms to spare")

    def switch_off(self) -> str | None:
        """The output switched off and confirmed: the state last read back,
        "off" once confirmed (see qm4410.supply.switch_off); SupplyGone when
        the port has gone."""
        return self.run(switch_off, priority=Priority.SAFETY)

    @contextlib.contextmanager
    def watching(self, tell: Callable[[str], None]) -> Iterator[None]:
        """`tell(reason)` is called, from whichever thread finds out, if the
        port goes away meanwhile."""
        with self._lock:
            self._watchers.add(tell)
        try:
            yield
        finally:
            with self._lock:
                self._watchers.discard(tell)

    def add_request_listener(self, listener: Callable[[bytes, bytes | None], object]) -> Callable[[], None]:
        """Call `listener(request, reply)` after each request frame sent to
        the supply, whoever sent it: the frame, and the supply's reply (None
        when it did not answer, or answered with a frame that may be another
        request's: whether it was carried out is then unknown). It is
        called in the sender's turn on the line, so it must be quick.
        Returns what removes it."""
        with self._lock:
            self._request_listeners.append(listener)

        def remove() -> None:
            with self._lock:
                self._request_listeners.remove(listener)

        return remove

    def _holding(self) -> _Held:
        with self._lock:
            held = None if self.gone.is_set() else self._held
        if held is None:
            raise self._not_held()
        return held

    def _on_line(self) -> Line:
        if self._line is None:
            raise self._not_held()
        return self._line

    def _not_held(self) -> SupplyGone:
        return SupplyGone(self.reason or f"the supply on {self.port} is not open")

    def _note(self, asker: object, request: bytes, exchange: _line.Exchange) -> None:
        """After each exchange on the line, in its asker's turn: the request
        listeners are told of it (see add_request_listener)."""
        if exchange.read_before:
            log.debug("read away %d bytes before %s's request", exchange.read_before, getattr(asker, "name", asker))
        reply = None if exchange.doubtful else exchange.reply
        with self._lock:
            listeners = list(self._request_listeners)
        for listener in listeners:
            listener(request, reply)

    def _lose(self, held: _Held, error: PortGone) -> None:
        with self._lock:
            # Only the first to find out tells, and only of the port still held.
            if held is not self._held or self.gone.is_set():
                return
            # The port's own words: the core's adds advice for a command's user.
            self.reason = f"the supply's port is gone: {error.__cause__ or error}"
            self.gone.set()
            watchers = list(self._watchers)
        log.warning("%s", self.reason)
        for tell in watchers:
            tell(self.reason)
