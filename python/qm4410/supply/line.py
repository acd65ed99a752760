"""The supply's line as a scheduled resource. A line carries one exchange
at a time, and a slow one (at 4800 baud, about nine a second), so who goes
next matters more than anything else its users do. `Line` owns the link to
one supply and is the only way onto it: every request carries a class
(`Priority`) and, for some, a deadline, and the line serves them in this
order:

1. SAFETY: a guard's trip readings, its switch-off and the readings that
   confirm it;
2. DEADLINE: requests whose reply must reach someone by a moment (an RFC
   2217 client's frame, within its driver's window), earliest first; one
   whose reply the line's plan says could no longer come by then is not
   sent at all (`Late`);
3. SETPOINT: settings;
4. READING: status readings.

No class waits for ever: one that has been passed over SHARE times in a row
goes next, after SAFETY, which is never passed over (a watching guard's
readings, every reader's to share, may take half of a slow line).

The status is read once for every reader it can serve: a reader says how
old a reading it takes (`max_age`, counted from when its reply was
answered), and gets the latest one if it is that fresh and no setting has
been made since it was taken; else it joins the next reading, of which
there is one at most, taken at the most urgent of its readers' classes and
delivered to all of them. Replies to settings are never shared."""

import collections
import contextlib
import dataclasses
import enum
import itertools
import math
import threading
import time
from collections.abc import Callable, Iterator
from typing import NamedTuple, TypeVar

from qm4410 import _line

from . import wire
from .link import Link, status_of
from .status import Status

Result = TypeVar("Result")

# How many times in a row a waiting class may be passed over for a more
# urgent one before it goes next.
SHARE = 3
# How old a status reading may be for a reader that does not say.
DEFAULT_MAX_AGE_S = 0.1
# Between two askers' exchanges the line must have been quiet this long (two
# of the driver's polls), so that a second copy of the first one's reply,
# coming within it, is read away rather than taken for the second one's. It
# costs each change of asker this long, unless the supply's replies are
# there at the driver's first poll: then a copy comes either with the next
# request's reply (and two frames that may each be the reply are none) or
# after that was taken.
QUIET_S = 2 * _line.POLL_S
# The supply's recent replies that tell whether it answers at the driver's
# first poll.
RECENT_REPLIES = 8


class Priority(enum.IntEnum):
    """The classes of request, the most urgent first."""

    SAFETY = 0
    DEADLINE = 1
    SETPOINT = 2
    READING = 3


class Late(Exception):
    """A request with a deadline, not sent: its reply could not have come
    by then."""

    def __init__(self, left: float, most: float) -> None:
        super().__init__(
            f"not sent: {max(left, 0) * 1e3:.0f} ms were left to answer it, "
            f"and the supply would take up to {most * 1e3:.0f} ms"
        )


@dataclasses.dataclass(frozen=True)
class Reading:
    """One status reading: the status, the supply's own reply frame, when
    the reply was answered (time.monotonic()), and whether the driver calls
    it doubtful (it may be another request's reply)."""

    status: Status
    reply: bytes
    answered_at: float
    doubtful: bool = False


@dataclasses.dataclass(eq=False)
class Waiting:
    """A request waiting for the line."""

    priority: Priority
    by: float | None
    order: int
    given: threading.Event = dataclasses.field(default_factory=threading.Event)

    def key(self) -> tuple[float, int]:
        """Within its class: the earliest deadline first, then the first to ask."""
        return (math.inf if self.by is None else self.by, self.order)


class Schedule:
    """Who goes next, of the requests waiting: the order of service, without
    the threads (see the module's docstring)."""

    def __init__(self, share: int = SHARE) -> None:
        self._share = share
        self._waiting: list[Waiting] = []
        self._passed = dict.fromkeys(Priority, 0)  # passes in a row of each class that waited
        self._orders = itertools.count()

    def __len__(self) -> int:
        return len(self._waiting)

    def add(self, priority: Priority, by: float | None = None) -> Waiting:
        waiting = Waiting(priority, by, next(self._orders))
        self._waiting.append(waiting)
        return waiting

    def discard(self, waiting: Waiting) -> bool:
        """Take `waiting` out, if it is still waiting; whether it was."""
        if waiting in self._waiting:
            self._waiting.remove(waiting)
            return True
        return False

    def hasten(self, waiting: Waiting, priority: Priority, by: float | None) -> None:
        """Serve `waiting` at `priority` and by `by`, where those are more
        urgent than its own."""
        waiting.priority = min(waiting.priority, priority)
        if by is not None:
            waiting.by = by if waiting.by is None else min(waiting.by, by)

    def next(self) -> Waiting | None:
        """The request to serve next, taken out; None when none waits."""
        if not self._waiting:
            return None
        present = {waiting.priority for waiting in self._waiting}
        if Priority.SAFETY in present:
            chosen = Priority.SAFETY
        else:
            starved = [priority for priority in present if self._passed[priority] >= self._share]
            chosen = min(starved or present)
            for priority in present - {chosen}:
                self._passed[priority] += 1
        self._passed[chosen] = 0
        following = min((waiting for waiting in self._waiting if waiting.priority == chosen), key=Waiting.key)
        self._waiting.remove(following)
        return following


class _Seen(NamedTuple):
    """The last exchange the line made: whose it was, and the word of its
    reply (None: it got none)."""

    asker: object
    reply_word: int | None


@dataclasses.dataclass(eq=False)
class _NextReading:
    """The reading that readers wait for: its place in the schedule, the
    deadlines of its readers (None for a reader with none), and, once
    taken, what came of it. Each is an asker of its own: a second copy of
    one reading's reply is never taken for the next one's."""

    waiting: Waiting
    deadlines: list[float | None]
    name: str = "the readers of the status"
    done: threading.Event = dataclasses.field(default_factory=threading.Event)
    reading: Reading | None = None
    failure: BaseException | None = None


Heard = Callable[[object, bytes, _line.Exchange], object]


class Line:
    """The line to one supply, through `link`, which is used from now on
    only through the line. `max_age` is how old a reading may be for a
    reader that does not say (seconds); `heard(asker, request, exchange)`,
    if given, is called after every exchange, in the turn of the asker who
    made it; `present()`, if given, in each reading's turn before it is
    taken: what it raises (the supply is gone) is every reader's answer;
    `clock` is time.monotonic (the driver's clock) but in tests."""

    def __init__(
        self,
        link: Link,
        *,
        max_age: float = DEFAULT_MAX_AGE_S,
        heard: Heard | None = None,
        present: Callable[[], object] | None = None,
        clock: Callable[[], float] = time.monotonic,
    ) -> None:
        if not max_age >= 0:
            raise ValueError(f"a reading's age is 0 s or more, not {max_age!r}")
        self.max_age = max_age
        self._heard_by = heard
        self._present = present
        self._clock = clock
        self._lock = threading.Lock()
        self._schedule = Schedule()
        self._held = False
        # Touched only by the holder of the turn.
        self._link = link
        self._holder: object = None
        self._last: _Seen | None = None
        self._polls: collections.deque[int] = collections.deque(maxlen=RECENT_REPLIES)
        self._heard_reading: Reading | None = None  # of the last status exchange
        # Under _lock.
        self._settings = 0  # settings made so far: a reading taken before one is stale
        self._latest: tuple[Reading, int] | None = None  # and the settings made before it
        self._next_reading: _NextReading | None = None
        link.heard = self._heard

    @property
    def waiting(self) -> int:
        """How many requests wait for the line, each reader that joined the
        next reading counted."""
        with self._lock:
            joined = 0 if self._next_reading is None else len(self._next_reading.deadlines) - 1
            return len(self._schedule) + joined

    @contextlib.contextmanager
    def turn(self, priority: Priority, by: float | None = None, asker: object = None) -> Iterator[Link]:
        """The line, held for the body once the schedule gives it to this
        request; its link to the supply."""
        waiting: Waiting | None = None
        try:  # from the moment it waits: whatever interrupts, a turn given is passed on
            with self._lock:
                waiting = self._schedule.add(priority, by)
                if not self._held:
                    self._give_next()
            waiting.given.wait()
            self._holder = asker
            yield self._link
        finally:
            if waiting is not None:
                with self._lock:
                    if not self._schedule.discard(waiting):  # it was given the line: pass it on
                        self._holder = None
                        self._give_next()

    def replace(self, link: Link) -> None:
        """Reach the supply through `link` from now on (its port opened
        again); to be called in a turn. What the line knew of the old one
        is forgotten."""
        self._link = link
        link.heard = self._heard
        self._last = None
        self._polls.clear()
        with self._lock:
            self._latest = None

    def run(
        self,
        action: Callable[[Link], Result],
        priority: Priority = Priority.SETPOINT,
        *,
        asker: object = None,
        word: int | None = None,
        by: float | None = None,
    ) -> Result:
        """`action` on the link, in its turn: what it returns. `word` is that
        of the one request it sends, if known; with `by` (which needs it),
        the action is not run (Late) when the plan says its reply could not
        come by then. After another asker's exchange, the first exchange
        keeps the quiet the line owes it (see _quiet_before)."""
        with self.turn(priority, by, asker) as link, link.quiet_first(self._quiet_before(asker, word)):
            if by is not None:
                self._check_in_time(link, word, by)
            return action(link)

    def status(
        self,
        max_age: float | None = None,
        priority: Priority = Priority.READING,
        *,
        by: float | None = None,
        newer_than: float | None = None,
    ) -> Reading | None:
        """A status reading no older than `max_age` (the line's own when
        None), taken after the last setting and answered after `newer_than`
        (a reader that has had the reading answered then asks for the one
        after it): the latest one if it is, else the next one, shared with
        every reader waiting for it and taken at the most urgent of their
        classes and deadlines. None when the supply did not answer it. Late
        when every reader of it has a deadline and the plan says the reply
        could come by none of them."""
        limit = self.max_age if max_age is None else max_age
        taking: _NextReading | None = None
        try:  # from the moment it waits: whatever interrupts, its readers are answered
            with self._lock:
                fresh = self._fresh(limit, newer_than)
                if fresh is not None:
                    return fresh
                next_reading = self._next_reading
                if next_reading is None:
                    next_reading = self._next_reading = _NextReading(self._schedule.add(priority, by), [by])
                    taking = next_reading
                    if not self._held:
                        self._give_next()
                else:
                    self._schedule.hasten(next_reading.waiting, priority, by)
                    next_reading.deadlines.append(by)
            if taking is not None:
                self._take(taking)
        except BaseException:
            if taking is not None:
                self._end(taking, None, None)
            raise
        next_reading.done.wait()
        if next_reading.failure is not None:
            raise next_reading.failure
        return next_reading.reading

    def _take(self, next_reading: _NextReading) -> None:
        """Take the next reading, in its turn, for every reader of it."""
        reading: Reading | None = None
        failure: BaseException | None = None
        try:
            next_reading.waiting.given.wait()
            self._holder = next_reading
            if self._present is not None:
                self._present()
            link = self._link
            with self._lock:  # no reader joins between the plan's verdict and the reading
                quiet = self._quiet_for(next_reading)
                if None not in next_reading.deadlines:
                    latest = max(deadline for deadline in next_reading.deadlines if deadline is not None)
                    with link.quiet_first(quiet):
                        try:
                            self._check_in_time(link, wire.READ_STATUS, latest)
                        except Late:
                            self._next_reading = None
                            raise
            with link.quiet_first(quiet):
                self._heard_reading = None
                link.read_status()
                reading = self._heard_reading
        except BaseException as error:
            failure = error
        finally:
            # A reader is told why no reading came, but not of another's interruption.
            self._end(next_reading, reading, failure if isinstance(failure, Exception) else None)
        if failure is not None and not isinstance(failure, Exception):
            raise failure

    def _quiet_for(self, next_reading: _NextReading) -> float:
        """The quiet before the next reading (see _quiet_before). After a
        reading, a copy of its reply would be taken for this one's with a
        doubt, and told as that reading, as old as it is (see _heard): no
        quiet for that, which would cost every reading of a slow line a
        sixth more, unless the reply frame is to be passed on as it is, to
        a reader with a deadline."""
        passed_on = any(deadline is not None for deadline in next_reading.deadlines)
        after_a_reading = self._last is not None and isinstance(self._last.asker, _NextReading)
        return self._quiet_before(next_reading, wire.READ_STATUS) if passed_on or not after_a_reading else 0.0

    def _end(self, next_reading: _NextReading, reading: Reading | None, failure: BaseException | None) -> None:
        """Answer every reader of `next_reading` with `reading` (or
        `failure`), and pass the line on if it was given to it; once, the
        first time it is called."""
        with self._lock:
            if next_reading.done.is_set():
                return
            if self._next_reading is next_reading:
                self._next_reading = None
            next_reading.reading, next_reading.failure = reading, failure
            next_reading.done.set()
            if not self._schedule.discard(next_reading.waiting):  # it was given the line
                self._holder = None
                self._give_next()

    def _fresh(self, max_age: float, newer_than: float | None) -> Reading | None:
        """The latest reading, if no older than `max_age`, taken after the
        last setting and answered after `newer_than` (under _lock)."""
        if self._latest is None:
            return None
        reading, settings = self._latest
        if settings != self._settings or self._clock() - reading.answered_at > max_age:
            return None
        if newer_than is not None and reading.answered_at <= newer_than:
            return None
        return reading

    def _check_in_time(self, link: Link, word: int | None, by: float) -> None:
        """Late unless the plan says a reply to a request with `word` would
        come by `by`: the settling the driver still owes, and the slowest of
        the supply's recent replies to the word."""
        if word is None:
            raise ValueError("a request with a deadline needs its word, for the plan")
        most = link.plan(word).most
        left = by - self._clock()
        if most > left:
            raise Late(left, most)

    def _quiet_before(self, asker: object, word: int | None) -> float:
        """The quiet the line must keep before `asker`'s request with `word`
        (None: any), what comes meanwhile read away, never taken for its
        reply. After another asker's answered exchange, that is a second
        copy of its reply: QUIET_S, unless the supply answers at the
        driver's first poll or a copy could not be taken for this reply
        (its word is another request's). The same asker's next exchange
        after an answered one needs none: a reply of its own cannot reach
        another asker. Nor does any exchange after an unanswered one: the
        driver then settles the line itself, until the late reply has come
        or one reply window has passed."""
        last = self._last
        if last is None or last.reply_word is None or last.asker == asker:
            return 0.0
        if self._polls and all(poll == 1 for poll in self._polls):
            return 0.0
        if word is not None and last.reply_word not in (word, wire.REPLY):
            return 0.0
        return QUIET_S

    def _heard(self, request: bytes, exchange: _line.Exchange) -> None:
        """After each exchange on the link, in its holder's turn: a status
        reading becomes the latest, any other request but the identity's
        is a setting, which makes every earlier reading stale."""
        word = wire.word_of(request)
        with self._lock:
            if word == wire.READ_STATUS:
                reading = _reading_of(exchange)
                if reading is not None and reading.doubtful and self._latest is not None:
                    # It may be a second copy of the last reading's reply:
                    # then it is that reading, and as old.
                    last = self._latest[0]
                    if reading.reply == last.reply:
                        reading = dataclasses.replace(reading, answered_at=last.answered_at)
                self._heard_reading = reading
                if reading is not None and not reading.doubtful:
                    self._latest = (reading, self._settings)
            elif word != wire.READ_IDENTITY:
                self._settings += 1
        reply = exchange.reply
        self._last = _Seen(self._holder, None if reply is None else wire.word_of(reply))
        if exchange.poll is not None:
            self._polls.append(exchange.poll)
        if self._heard_by is not None:
            self._heard_by(self._holder, request, exchange)

    def _give_next(self) -> None:
        """Give the line to the next request, if one waits (under _lock)."""
        following = self._schedule.next()
        self._held = following is not None
        if following is not None:
            following.given.set()


def _reading_of(exchange: _line.Exchange) -> Reading | None:
    if exchange.reply is None or exchange.answered_at is None:
        return None
    return Reading(status_of(exchange.reply), exchange.reply, exchange.answered_at, exchange.doubtful)
