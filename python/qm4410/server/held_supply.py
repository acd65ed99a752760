"""The supply the server holds: one driver shared by every client's thread,
whose line takes their exchanges one at a time, by turns between the
endpoints; what keeps each reply with the client whose frame it answers;
and what becomes of them all when its port goes away."""

import collections
import contextlib
import logging
import threading
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple, TypeVar

from qm4410 import QM4410, _line

from ..supply import wire
from ..supply.errors import PortGone, Refused
from ..supply.link import Link
from ..supply.opening import open_driver
from ..supply.status import Identity
from ..supply.switch_off import switch_off
from .errors import SupplyGone
from .turns import Turns

log = logging.getLogger("qm4410.serve")

Result = TypeVar("Result")

# Between two clients' exchanges the line must have been quiet this long
# (two of the driver's polls), so that a second copy of the first one's
# reply, coming within it, is read away rather than taken for the second
# one's. It costs each change of client this long (see the README's
# Performance), unless the supply's replies are there at the driver's first
# poll: then a copy comes either with the next request's reply (and two
# frames that may each be the reply are none) or after that was taken.
QUIET_S = 2 * _line.POLL_S
# The supply's recent replies that tell whether it answers at the driver's
# first poll.
RECENT_REPLIES = 8


class Asker(NamedTuple):
    """Who asks for the line: an endpoint, which takes turns with the
    others, and one of its clients, by its name in the log."""

    endpoint: str
    name: str


SERVER = Asker("server", "the server")


class Exchanged(NamedTuple):
    """What came of a client's frame: the reply to pass on (None: none),
    and how it went, for the log."""

    reply: bytes | None
    outcome: str


class _Seen(NamedTuple):
    """The last exchange the line saw: whose it was, and the word of its
    reply (None: it got none)."""

    asker: Asker
    reply_word: int | None


class _Held(NamedTuple):
    driver: QM4410
    link: Link
    identity: Identity


class HeldSupply:
    """The supply on `port`, as the server holds it: opened by `open()`
    (Refused when it cannot be), its commands sent through `run()`, each in
    its asker's turn, which raises SupplyGone once the port has gone. Then
    `gone` is set, `reason` says why, and each watcher has been told;
    `reopen()` tries to open it again.

    A client gets back only a reply to its own frame, or nothing: the
    driver's rule takes no frame from another bus address or with another
    request's word for a reply; a second copy of a reply that comes within
    QUIET_S of it is read away before another client's request is written
    (see _quiet_before), and a late reply by the driver's settling of the
    line; a reply that may be another request's (`doubtful`) is passed to
    no client of the supply's own protocol (see exchange)."""

    def __init__(self, port: str) -> None:
        self.port = port
        self._lock = threading.Lock()
        self._held: _Held | None = None
        self._watchers: set[Callable[[str], None]] = set()
        self._request_listeners: list[Callable[[bytes, bytes | None], object]] = []
        self._turns = Turns()
        # Touched only by the holder of a turn.
        self._last: _Seen | None = None
        self._polls: collections.deque[int] = collections.deque(maxlen=RECENT_REPLIES)
        self.gone = threading.Event()
        self.reason = ""

    def open(self) -> None:
        """Open the supply on the port and read its identity; Refused, with
        its kind and what to do, when that fails."""
        driver = open_driver(self.port)
        link = Link(driver)
        held = _Held(driver, link, link.identity())
        with self._turns.turn(SERVER.endpoint):
            with self._lock:
                self._held = held
                self.gone.clear()
            self._last = None
            self._polls.clear()

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

    def run(self, action: Callable[[Link], Result], asker: Asker = SERVER, word: int | None = None) -> Result:
        """`action` on the supply's link, in `asker`'s turn: what it
        returns, or SupplyGone when the port has gone (before or during it).
        `word` is that of the one request the action sends, if it is known."""
        with self._turns.turn(asker.endpoint):
            held = self._holding()
            before = held.link.last
            try:
                with held.link.quiet_first(self._quiet_before(asker, word)):
                    return action(held.link)
            except PortGone as error:
                self._lose(held, error)
                raise SupplyGone(self.reason) from None
            finally:
                last = held.link.last
                if last is not None and last is not before:
                    self._note(asker, held.link.last_request, last)

    def exchange(self, frame: bytes, asker: Asker, by: float) -> Exchanged:
        """One request frame of a client's as one transaction, sent only if
        its reply can still be passed on by the moment `by` (as
        time.monotonic() counts): when the line's plan says it would come
        later (the settling the driver still owes, and the slowest of the
        supply's recent replies to the word), the frame is not sent at all,
        so that a client whose driver has given up is not told of a failure
        for a setting that was carried out. A reply that comes later all the
        same is not passed on, nor is one that may be another request's."""
        word = wire.word_of(frame)

        def attempt(link: Link) -> Exchanged:
            most = link.plan(word).most
            left = by - time.monotonic()
            if most > left:
                return Exchanged(
                    None,
                    f"not sent: {max(left, 0) * 1e3:.0f} ms were left to answer it, and the "
                    f"supply would take up to {most * 1e3:.0f} ms",
                )
            started = time.monotonic()
            exchange = link.exchange(frame)
            took = (time.monotonic() - started) * 1e3
            if exchange.reply is None:
                return Exchanged(None, f"unanswered after {took:.1f} ms")
            if exchange.doubtful:
                return Exchanged(None, f"answered after {took:.1f} ms by a frame that may be another request's reply")
            if time.monotonic() > by:
                return Exchanged(None, f"answered after {took:.1f} ms, too late to pass on")
            return Exchanged(
                exchange.reply, f"answered in {took:.1f} ms, {(by - time.monotonic()) * 1e3:.0f} ms to spare"
            )

        return self.run(attempt, asker, word)

    def switch_off(self) -> str | None:
        """The output switched off and confirmed: the state last read back,
        "off" once confirmed (see qm4410.supply.switch_off); SupplyGone when
        the port has gone."""
        return self.run(switch_off)

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
            raise SupplyGone(self.reason or f"the supply on {self.port} is not open")
        return held

    def _quiet_before(self, asker: Asker, word: int | None) -> float:
        """The quiet the line must keep before `asker`'s request with `word`
        (None: any), what comes meanwhile read away, never taken for its
        reply. After an answered exchange of another client's, that is a
        second copy of its reply: QUIET_S, unless the supply answers at the
        driver's first poll or a copy could not be taken for this reply (its
        word is another request's). The same client's next exchange after
        an answered one needs none: a reply of its own cannot reach another
        client. Nor does any exchange after an unanswered one: the driver
        then settles the line itself, until the late reply has come or one
        reply window has passed."""
        last = self._last
        if last is None or last.reply_word is None or last.asker == asker:
            return 0.0
        if self._polls and all(poll == 1 for poll in self._polls):
            return 0.0
        if word is not None and last.reply_word not in (word, wire.REPLY):
            return 0.0
        return QUIET_S

    def _note(self, asker: Asker, request: bytes, exchange: _line.Exchange) -> None:
        """The last exchange of `asker`'s action, of `request`: the next
        one's quiet depends on it, and the request listeners are told of it
        (see add_request_listener)."""
        reply = exchange.reply
        self._last = _Seen(asker, None if reply is None else wire.word_of(reply))
        if exchange.poll is not None:
            self._polls.append(exchange.poll)
        if exchange.read_before:
            log.debug("read away %d bytes before %s's request", exchange.read_before, asker.name)
        with self._lock:
            listeners = list(self._request_listeners)
        for listener in listeners:
            listener(request, None if exchange.doubtful else reply)

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
