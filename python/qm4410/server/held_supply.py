"""The supply the server holds: one driver shared by every client's thread,
whose line takes their exchanges one at a time, by turns between the
endpoints; what keeps each reply with the client whose frame it answers;
and what becomes of them all when its port goes away."""

import collections
import contextlib
import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple, TypeVar, cast

import serial

from qm4410 import QM4410

from ..supply import wire
from ..supply.errors import PortGone, Refused
from ..supply.link import Link
from ..supply.opening import open_driver
from ..supply.status import Identity
from ..supply.switch_off import switch_off
from .errors import SupplyGone
from .reply_sieve import ReplySieve
from .turns import Turns

log = logging.getLogger("qm4410.serve")

Result = TypeVar("Result")

# A driver (the server's, and one as a client) waits this long for a reply:
# 30 polls 10 ms apart.
POLL_S = 0.01
DRIVER_WINDOW_S = 30 * POLL_S
# Between two clients' exchanges the line must have been quiet this long, so
# that a second copy of the first one's reply, coming within it, is read
# away rather than taken for the second one's. It costs each change of
# client this long (see the README's Performance), unless the supply's
# replies are there at the driver's first poll: then a copy comes either
# with the next request's reply (and two frames that may each be the reply
# are none) or after that was taken.
QUIET_S = 0.02
SETTLE_POLL_S = 0.005
# A line that never falls quiet (a stream of noise) is read away this long
# at most; the next exchange then fails or succeeds on its own.
SETTLE_MOST_S = 2 * DRIVER_WINDOW_S
# The supply's pace: how long after its request each of its recent replies
# came, the slowest of them foretelling the next.
PACE_SAMPLES = 8


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


@dataclasses.dataclass(frozen=True)
class _Ended:
    """An exchange the line saw: whose, when it ended, the word of its reply
    (None: it got none), and how many bytes the driver read away before it
    wrote the request."""

    asker: Asker
    at: float
    reply_word: int | None
    read_before: int


class _Pace(NamedTuple):
    """How an answered exchange went: at which of the driver's polls the
    reply was read, and how long after the request was written."""

    poll: int
    reply: float


class _Held(NamedTuple):
    driver: QM4410
    link: Link
    sieve: ReplySieve
    identity: Identity


class HeldSupply:
    """The supply on `port`, as the server holds it: opened by `open()`
    (Refused when it cannot be), its commands sent through `run()`, each in
    its asker's turn, which raises SupplyGone once the port has gone. Then
    `gone` is set, `reason` says why, and each watcher has been told;
    `reopen()` tries to open it again.

    A client gets back only a reply to its own frame, or nothing: a frame
    from another bus address or with another request's word is never taken
    (see ReplySieve); a second copy of a reply that comes within QUIET_S of
    it, and a late reply within one reply window of its exchange, are read
    away before another client's request is written (see _settle)."""

    def __init__(self, port: str) -> None:
        self.port = port
        self._lock = threading.Lock()
        self._held: _Held | None = None
        self._watchers: set[Callable[[str], None]] = set()
        self._request_listeners: list[Callable[[bytes, bool], object]] = []
        self._turns = Turns()
        # Touched only by the holder of a turn.
        self._last: _Ended | None = None
        self._before_last: _Ended | None = None
        self._pace: collections.deque[_Pace] = collections.deque(maxlen=PACE_SAMPLES)
        self.gone = threading.Event()
        self.reason = ""

    def open(self) -> None:
        """Open the supply on the port and read its identity; Refused, with
        its kind and what to do, when that fails."""
        driver = open_driver(self.port)
        link = Link(driver)
        sieve = ReplySieve(driver.ser, link.address())
        # The driver takes any object with a port's write, inWaiting and read.
        driver.ser = cast(serial.Serial, sieve)
        held = _Held(driver, link, sieve, link.identity())
        with self._turns.turn(SERVER.endpoint):
            with self._lock:
                self._held = held
                self.gone.clear()
            self._last = self._before_last = None
            self._pace.clear()

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
        return self._holding().link.address()

    def run(self, action: Callable[[Link], Result], asker: Asker = SERVER, word: int | None = None) -> Result:
        """`action` on the supply's link, in `asker`'s turn: what it
        returns, or SupplyGone when the port has gone (before or during it).
        `word` is that of the one request the action sends, if it is known."""
        with self._turns.turn(asker.endpoint):
            held = self._holding()
            try:
                self._settle(held.sieve, asker, word)
                started = time.monotonic()
                try:
                    return action(held.link)
                finally:
                    self._note(held.sieve, asker, started)
            # OSError: the port failing under the sieve's own look at it
            # (settling the line), which the link would have called PortGone.
            except (PortGone, OSError) as error:
                self._lose(held, error)
                raise SupplyGone(self.reason) from None

    def exchange(self, frame: bytes, asker: Asker, by: float) -> Exchanged:
        """One request frame of a client's as one transaction, sent only if
        its reply can still be passed on by the moment `by` (as
        time.monotonic() counts): when the supply's recent pace says it
        would come later, the frame is not sent at all, so that a client
        whose driver has given up is not told of a failure for a setting
        that was carried out. A reply that comes later all the same is not
        passed on."""

        def attempt(link: Link) -> Exchanged:
            expected = self._driver_settling() + max((pace.reply for pace in self._pace), default=0.0)
            left = by - time.monotonic()
            if expected > left:
                return Exchanged(
                    None,
                    f"not sent: {max(left, 0) * 1e3:.0f} ms were left to answer it, and the "
                    f"supply would take up to {expected * 1e3:.0f} ms",
                )
            started = time.monotonic()
            reply = link.exchange(frame)
            took = (time.monotonic() - started) * 1e3
            if reply is None:
                return Exchanged(None, f"unanswered after {took:.1f} ms")
            if time.monotonic() > by:
                return Exchanged(None, f"answered after {took:.1f} ms, too late to pass on")
            return Exchanged(reply, f"answered in {took:.1f} ms, {(by - time.monotonic()) * 1e3:.0f} ms to spare")

        return self.run(attempt, asker, wire.word_of(frame))

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

    def add_request_listener(self, listener: Callable[[bytes, bool], object]) -> Callable[[], None]:
        """Call `listener(request, answered)` after each request frame sent to
        the supply, whoever sent it: the frame, and whether the supply
        answered it. It is called in the sender's turn on the line, so it
        must be quick. Returns what removes it."""
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

    def _settle(self, sieve: ReplySieve, asker: Asker, word: int | None) -> None:
        """Before a request with `word` (None: any) is written: what may still
        come for the exchange before it is read away, never taken for this
        one's reply. After an answered exchange of another client's, that is
        a second copy of its reply: the line must be quiet for QUIET_S,
        unless the supply answers at the driver's first poll or the sieve
        would drop such a copy (its word is another request's). The same
        client's next exchange after an answered one is left to the driver:
        a reply of its own cannot reach another client. So is any exchange
        after an unanswered one: the driver then settles the line itself,
        until the late reply has come or one reply window has passed, and
        only when it reads that reply away itself does it know the next
        reply it takes is not the late one (else it settles once more, a
        reply window that every client waiting would pay)."""
        last = self._last
        if last is None or last.reply_word is None:
            return
        if (
            last.asker == asker
            or self._answers_at_first_poll()
            or (word is not None and last.reply_word not in (word, wire.REPLY))
        ):
            return
        until = last.at + QUIET_S
        quiet_from = last.at
        started = time.monotonic()
        read_away = 0
        while True:
            now = time.monotonic()
            arrived = sieve.discard()
            if arrived:
                read_away += arrived
                quiet_from = now
                if read_away >= wire.FRAME_LENGTH:
                    until = now
            end = max(until, quiet_from + QUIET_S)
            if now >= end or now - started >= SETTLE_MOST_S:
                break
            time.sleep(min(SETTLE_POLL_S, end - now))
        if read_away:
            log.debug(
                "read away %d bytes that came after %s's exchange, before %s's", read_away, last.asker.name, asker.name
            )

    def _driver_settling(self) -> float:
        """How long the driver may settle the line before it writes the next
        request. It settles when its line fell out of step: after an
        unanswered exchange, until one reply window from its end; and for a
        whole window after the answered exchange that followed it, unless it
        read a frame's worth away before that one's request, since without
        that the reply it took may have been the failed request's, still
        owed."""
        last, before = self._last, self._before_last
        if last is None:
            return 0.0
        if last.reply_word is None:
            return max(0.0, last.at + DRIVER_WINDOW_S - time.monotonic())
        if before is not None and before.reply_word is None and last.read_before < wire.FRAME_LENGTH:
            return DRIVER_WINDOW_S
        return 0.0

    def _answers_at_first_poll(self) -> bool:
        return bool(self._pace) and all(pace.poll == 1 for pace in self._pace)

    def _note(self, sieve: ReplySieve, asker: Asker, started: float) -> None:
        if sieve.written_at < started:
            return  # no exchange
        ended = time.monotonic()
        self._before_last, self._last = self._last, _Ended(asker, ended, sieve.reply_word, sieve.read_before_request)
        if sieve.reply_poll is not None:
            self._pace.append(_Pace(sieve.reply_poll, ended - sieve.written_at))
        with self._lock:
            listeners = list(self._request_listeners)
        for listener in listeners:
            listener(sieve.request, sieve.reply_word is not None)

    def _lose(self, held: _Held, error: PortGone | OSError) -> None:
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
