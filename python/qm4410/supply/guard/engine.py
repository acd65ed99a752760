"""The guard's engine: its thread, which reads the supply's status for the
trips and switches the output off when one fires, the ramps of slewed
set-points it steps, the listeners of its readings and ramps, and the
switch-on that a trip never overtakes. Time comes from a clock that a test
can replace with one of its own."""

import contextlib
import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import Protocol, Self

from ..errors import NoReply, OutOfRange, SupplyError
from ..face import Supply
from ..link import Link
from ..setpoints import UNIT, Quantity, positive, to_units
from ..slew import Ramp, step_units
from ..status import Status
from ..switch_off import still_on_message, switch_off
from .rules import Rules, Trip, Tripped, in_constant_current, trip_of

log = logging.getLogger("qm4410")

WATCH_INTERVAL_S = 0.1
SLEW_STEPS_PER_S = 5.0
# How late a caller's stop() is noticed while it waits for a slewed set-point.
STOP_CHECK_S = 0.05
# Exchanges of the guard's in a row without an answer after which the
# supply counts as no longer answering: one alone is a glitch the driver
# recovers from.
UNANSWERED_IN_A_ROW = 3

NOT_STARTED = "the guard is not started: start() it, or use it in a with statement"


class Clock(Protocol):
    """The time the guard's thread keeps: `now()`, in seconds, and
    `wait(condition, seconds)`, its wait on `condition` (held, as
    threading.Condition.wait takes it) until notified or `seconds` have
    passed on this clock (None: until notified)."""

    def now(self) -> float: ...

    def wait(self, condition: threading.Condition, seconds: float | None) -> object: ...


class MonotonicClock:
    """The clock of the machine: time.monotonic(), and waits that take
    as long as they say."""

    def now(self) -> float:
        return time.monotonic()

    def wait(self, condition: threading.Condition, seconds: float | None) -> object:
        return condition.wait(seconds)


MONOTONIC = MonotonicClock()


@dataclasses.dataclass
class SwitchOn:
    """What a switch-on sent within `Guard.switching_on()` set going: with
    soft start, the ramp that takes the voltage set-point back up, once the
    block is over (None without one)."""

    ramp: Ramp | None = None


Listener = Callable[[Status | None], object]
TargetListener = Callable[[Quantity, int], object]


class Engine:
    """The guard's machinery, beneath its face (see Guard): the rules of
    `rules` (or the same as keywords) kept on `supply`, an open
    qm4410.Supply, by a thread of its own that reads the status, fires
    trips and switches the output off, and steps the ramps of slewed
    set-points; time read from `clock` (the monotonic clock by default).

    Every exchange the guard's own work makes goes through three methods:
    _read_status (a reading for the trips), _send_setpoint (a step, or a
    set-point sent at once) and _switch_off_confirmed (a trip's
    switch-off)."""

    def __init__(
        self,
        supply: Supply,
        rules: Rules | None = None,
        *,
        interval: float = WATCH_INTERVAL_S,
        clock: Clock | None = None,
        **rule_keywords: object,
    ) -> None:
        if rules is not None and rule_keywords:
            raise TypeError("give the rules as a Rules object or as keywords, not both")
        self.supply = supply
        self.rules = rules if rules is not None else Rules(**rule_keywords)  # type: ignore[arg-type]
        self.interval = positive(interval, "the interval")
        self._clock: Clock = MONOTONIC if clock is None else clock
        self._lock = threading.Condition()
        # Held from the check of a switch-on until it has been sent, and by a
        # trip as it latches: see switching_on().
        self._switch_on_lock = threading.Lock()
        self._slew: dict[Quantity, float | None] = {q: self.rules.slew(q) for q in ("voltage", "current")}
        self._ramps: dict[Quantity, Ramp] = {}
        self._sending: Quantity | None = None  # a ramp step on the line now
        self._switching_off = False  # a trip's switch-off under way
        self._unanswered: dict[str, int] = {"reading": 0, "voltage": 0, "current": 0}
        self._trip: Trip | None = None
        self._clears = 0  # how many times a trip was cleared: a reading from before one fires nothing
        self._latest: Status | None = None
        # The supply's maximum voltage, mV, as last read or set through the guard (or told to it).
        self._max_voltage: int | None = None
        self._cc_since: float | None = None
        self._last_request = self._clock.now()
        self._listeners: list[Listener] = []
        self._target_listeners: list[TargetListener] = []
        self._readers = 0  # listeners that asked for readings whatever the rules
        self._thread: threading.Thread | None = None
        self._closing = False

    # Starting and stopping.

    def start(self) -> Self:
        with self._lock:
            if self._thread is not None:
                return self
            self._closing = False
            self._last_request = self._clock.now()
            self._thread = threading.Thread(target=self._run, name=f"qm4410 guard of {self.supply.port}", daemon=True)
        self._thread.start()
        return self

    @property
    def running(self) -> bool:
        """Whether it was started and not closed since."""
        with self._lock:
            return self._thread is not None

    def close(self) -> None:
        with self._lock:
            thread, self._thread = self._thread, None
            self._closing = True
            self._ramps.clear()
            self._lock.notify_all()
        if thread is not None and thread is not threading.current_thread():
            thread.join()

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    # What the guard knows.

    @property
    def trip(self) -> Trip | None:
        """The latched trip, None while none is."""
        with self._lock:
            return self._trip

    @property
    def latest(self) -> Status | None:
        """The guard's last reading of the status (None before one, or when
        the last went unanswered)."""
        with self._lock:
            return self._latest

    def slew_rate(self, quantity: Quantity) -> float | None:
        """The slew rate in force, V/s or A/s; None for none."""
        with self._lock:
            return self._slew[quantity]

    def set_slew_rate(self, quantity: Quantity, rate: float) -> None:
        """Lower the slew rate (or set one where the rules have none); never
        above the rules' own: OutOfRange."""
        rate = self.checked_slew_rate(quantity, rate)
        with self._lock:
            self._slew[quantity] = rate

    def checked_slew_rate(self, quantity: Quantity, rate: object) -> float:
        """`rate` as a slew rate that may be asked for: above 0, and not
        above the rules' own (OutOfRange)."""
        rate = positive(rate, f"the {quantity} slew rate")
        ceiling = self.rules.slew(quantity)
        if ceiling is not None and rate > ceiling:
            unit = UNIT[quantity]
            raise OutOfRange(f"the {quantity} slew rate {rate:g} {unit}/s is above the guard's {ceiling:g} {unit}/s")
        return rate

    def add_listener(self, listener: Listener, *, reads: bool = False) -> Callable[[], None]:
        """Call `listener(status or None)` after each of the guard's readings,
        from its thread; returns what removes it. With `reads`, the guard
        reads the status at its interval while the listener is there, even
        when no rule needs it (a reading it alone wants trips nothing when
        unanswered)."""
        with self._lock:
            self._listeners.append(listener)
            self._readers += reads
            self._lock.notify_all()
        return lambda: self._remove_listener(listener, reads)

    def touch(self) -> None:
        """A request came (from any client): the watchdog starts again."""
        with self._lock:
            self._last_request = self._clock.now()

    def last_check(self) -> Trip | None:
        """The trip latched, else the one that a reading taken now fires, as
        the guard's own would: for a caller about to end, whom the next
        interval may no longer find there. No reading when no rule watches."""
        if self.trip is None and self.rules.watching:
            self._watch()
        return self.trip

    def clear(self) -> None:
        """Clear a latched trip: switching the output on is allowed again
        (once the trip's switch-off, if under way, is over, so that it cannot
        switch off what is switched on after this)."""
        with self._lock:
            while self._switching_off:
                self._lock.wait()
            self._last_request = self._clock.now()
            trip, self._trip = self._trip, None
            self._cc_since = None
            self._clears += 1
        if trip is not None:
            log.warning("%s: the %s trip was cleared", self.supply.port, trip.name)

    def note_max_voltage(self, units: int) -> None:
        """The supply's maximum voltage, mV, as a reading or setting that
        went past the guard (a server's client's) found it."""
        with self._lock:
            self._max_voltage = units

    def check_switch_on(self) -> None:
        trip = self.trip
        if trip is not None:
            raise Tripped(trip)

    @contextlib.contextmanager
    def switching_on(self) -> Iterator[SwitchOn]:
        """For the block that switches the output on: Tripped, before it,
        while a trip is latched; and a trip that fires during it latches
        only once it is over, so that the trip's switch-off comes after the
        switch-on rather than before it. With soft start the block runs at
        a voltage set-point of 0, and what it yields tells the ramp back up
        (see _soft_start)."""
        with self._switch_on_lock:
            self.check_switch_on()
            with self._soft_start() as switched:
                yield switched

    @contextlib.contextmanager
    def _soft_start(self) -> Iterator[SwitchOn]:
        """Soft start around a switch-on, when the rules ask for it and the
        output is off: the voltage set-point sent as 0 before the block (a
        ramp in progress stopped), and after it, however it ended, a ramp
        at the slew rate back to where the set-point stood, or to where that
        ramp was going. Whether the output came on or not, a ramp at the
        rate is safe, and the set-point asked for is kept. NoReply, with
        nothing switched on, when the supply answers neither the status
        read nor the set-point of 0."""
        switched = SwitchOn()
        if not self.rules.soft_start:
            yield switched
            return
        rate = self.slew_rate("voltage")
        assert rate is not None  # the rules have one with soft start, which only lowering can change
        with self._lock:
            if self._thread is None:
                raise SupplyError(NOT_STARTED)
            seen = self._ramps.get("voltage")
        status = self.supply.status()
        if status.output:  # no step to soften
            yield switched
            return
        with self._lock:
            going = self._ramps.pop("voltage", None)
            self._lock.notify_all()  # whoever waits for it: replaced
        self.halt("voltage", wait=True)  # and no step of it on the line
        if going is not None:
            target = going.target
        else:  # one seen before the status read has arrived, or was halted, since
            target = seen.standing if seen is not None else to_units("voltage", status.voltage)
        if not self._send_setpoint("voltage", 0):
            raise NoReply(f"the supply on {self.supply.port} did not answer the soft start's voltage set-point of 0")
        try:
            yield switched
        finally:
            if target > 0:
                switched.ramp = self._start_ramp("voltage", 0, target, rate)

    def send_units(
        self,
        quantity: Quantity,
        units: int,
        *,
        wait: bool = True,
        stop: Callable[[], object] | None = None,
        rate: float | None = None,
    ) -> Ramp | None:
        """Send a checked set-point: at once without a slew rate (stopping a
        ramp in progress), else as a ramp from where it stands (replacing
        one in progress), which it returns. `rate` is the sender's own slew
        rate, in force where it is the lower (see checked_slew_rate). With
        `wait`, return once the ramp is over (see wait_for), or once `stop()`
        turns true (the ramp then ends where it stands); NoReply when the
        supply did not answer (at once, or reading where the set-point
        stands) or stopped answering (ramping); Tripped when a trip ended
        the ramp."""
        self.touch()
        with self._lock:
            rate = min((r for r in (self._slew[quantity], rate) if r is not None), default=None)
        if rate is None:
            self.halt(quantity, wait=True)
            if not self._send_setpoint(quantity, units):
                raise NoReply(f"the supply on {self.supply.port} did not answer the {quantity} set-point")
            return None
        with self._lock:
            if self._thread is None:
                raise SupplyError(NOT_STARTED)
            while self._sending == quantity:  # its step decides where the set-point stands
                self._lock.wait()
        ramp = self._start_ramp(quantity, self._standing(quantity), units, rate)
        if wait:
            self.wait_for(quantity, ramp, stop)
        return ramp

    def send_max_voltage(self, units: int, *, rate: float | None = None) -> Ramp | None:
        """Send a checked maximum voltage. It caps the output, so a raise that
        would let the output rise while a voltage slew rate is in force (or
        `rate`, the sender's own) is carried out within the rate: the voltage
        set-point is first held at the old maximum, where the output stands,
        then the maximum is raised, then the set-point ramps from there to
        where it stood (or where its ramp in progress was going); that ramp
        is returned, as send_units returns one. NoReply when the supply did
        not answer."""

        def send_at_once() -> None:
            if not self._link.set_max_voltage(units):
                raise NoReply(f"the supply on {self.supply.port} did not answer the maximum voltage")
            self.note_max_voltage(units)

        self.touch()
        with self._lock:
            slewed = self._slew["voltage"] is not None or rate is not None
        if slewed:
            status = self.supply.status()
            ceiling = to_units("voltage", status.max_voltage)
            with self._lock:
                ramp = self._ramps.get("voltage")
                standing, target = (ramp.standing, ramp.target) if ramp is not None else (None, None)
            standing = to_units("voltage", status.voltage) if standing is None else standing
            if units > ceiling and standing > ceiling:
                self.halt("voltage", wait=True)
                if not self._send_setpoint("voltage", ceiling):
                    raise NoReply(f"the supply on {self.supply.port} did not answer the voltage set-point")
                send_at_once()
                return self.send_units("voltage", standing if target is None else target, wait=False, rate=rate)
        send_at_once()
        return None

    def add_target_listener(self, listener: TargetListener) -> Callable[[], None]:
        """Call `listener(quantity, target)` once each ramp is under way, from
        the thread that asked for it: the set-point it is going to, which
        its steps reach only later (for a keeper of set-points). Returns
        what removes it."""
        with self._lock:
            self._target_listeners.append(listener)

        def remove() -> None:
            with self._lock:
                self._target_listeners.remove(listener)

        return remove

    def wait_for(self, quantity: Quantity, ramp: Ramp, stop: Callable[[], object] | None = None) -> None:
        """Wait until `ramp`, of `quantity`, is over: arrived, replaced by a
        later set-point, halted (also by `stop()` turning true), or stopped
        by closing the guard, with no step of its on the line. NoReply when
        the supply stopped answering its steps, Tripped when a trip stopped
        it."""
        with self._lock:
            while self._ramps.get(quantity) is ramp and not self._closing:
                if stop is not None and stop():
                    del self._ramps[quantity]
                    return
                self._lock.wait(None if stop is None else STOP_CHECK_S)
            while self._sending == quantity and not self._closing:
                self._lock.wait()
            if ramp.done or self._closing:
                return
            if ramp.unanswered:
                raise NoReply(f"the supply on {self.supply.port} stopped answering during the {quantity} ramp")
            if self._trip is not None:
                raise Tripped(self._trip)

    def ramping(self, quantity: Quantity, ramp: Ramp | None = None) -> bool:
        """Whether a ramp of `quantity` (`ramp` itself, when one is given)
        is in progress, without waiting for it: still to arrive, or its last
        step on the line now."""
        with self._lock:
            if ramp is None:
                return quantity in self._ramps or self._sending == quantity
            return self._ramps.get(quantity) is ramp or (self._sending == quantity and not ramp.done)

    def halt(self, quantity: Quantity, ramp: Ramp | None = None, *, wait: bool = False) -> None:
        """Stop the ramp of `quantity` in progress (only if it is `ramp`,
        when one is given) where it stands: the supply keeps its last step,
        or the one on the line now. With `wait`, return once no step of it
        is on the line; without, never wait (whoever waits for the ramp
        returns once that step is over)."""
        with self._lock:
            if quantity in self._ramps and (ramp is None or self._ramps[quantity] is ramp):
                del self._ramps[quantity]
                self._lock.notify_all()
            while wait and self._sending == quantity:
                self._lock.wait()

    # Its exchanges with the supply.

    @property
    def _link(self) -> Link:
        return self.supply.guard_link

    def _read_status(self) -> Status | None:
        """A reading of the status for the trips (None: no answer)."""
        return self._link.read_status()

    def _send_setpoint(self, quantity: Quantity, units: int) -> bool:
        """One set-point, a ramp's step or one sent at once; whether answered."""
        send = self._link.set_voltage if quantity == "voltage" else self._link.set_current
        return send(units)

    def _switch_off_confirmed(self) -> str | None:
        """Switch the output off and read it back, as switch_off() tells it."""
        return switch_off(self._link)

    # The guard's thread.

    def _start_ramp(self, quantity: Quantity, standing: int, units: int, rate: float) -> Ramp:
        """A ramp of `quantity` from `standing` to `units`, replacing one in
        progress, for the guard's thread to step; the target listeners are
        told where it goes."""
        with self._lock:
            ramp = Ramp(standing, units, rate, step_units(rate, SLEW_STEPS_PER_S), self._clock.now())
            self._ramps[quantity] = ramp
            self._lock.notify_all()
            listeners = list(self._target_listeners)
        for listener in listeners:
            listener(quantity, units)
        return ramp

    def _standing(self, quantity: Quantity) -> int:
        """Where the set-point stands: the ramp in progress's last step, else
        what the supply reports."""
        with self._lock:
            ramp = self._ramps.get(quantity)
            if ramp is not None:
                return ramp.standing
        status = self.supply.status()
        return to_units(quantity, status.voltage if quantity == "voltage" else status.current_limit)

    def _run(self) -> None:
        next_reading = resume = self._clock.now()
        while True:
            with self._lock:
                if self._closing:
                    return
                now = self._clock.now()
                due = [ramp.next_step()[0] for ramp in self._ramps.values()]
                reading = self.rules.watching or self._readers > 0
                if reading or (self._trip is not None and not self._trip.output_off):
                    due.append(next_reading)
                wake = min(due, default=None)
                if wake is not None:
                    wake = max(wake, resume)
                if wake is None or wake > now:
                    self._clock.wait(self._lock, None if wake is None else wake - now)
                    continue
            try:
                if now >= next_reading and (reading or self._trip is not None):
                    next_reading = now + self.interval
                    self._watch()
                self._step_ramps(self._clock.now())
            except Exception:  # whatever one round met, the guard keeps watching
                log.exception("%s: the guard's round failed; it goes on after its interval", self.supply.port)
                resume = self._clock.now() + self.interval

    def _watch(self) -> None:
        with self._lock:
            trip, clears = self._trip, self._clears
        if trip is not None and not trip.output_off:
            self._switch_off(trip)
            return
        try:
            status = self._read_status()
        except (SupplyError, OSError):
            status = None
        self._take_reading(status)
        fired = self._tripped_by(status) if status is not None else self._silence("reading")
        if fired is not None:
            self._fire(*fired, read_after=clears)

    def _silence(self, what: str) -> tuple[str, str] | None:
        """One more unanswered exchange of the guard's (`what`: "reading",
        or a quantity being ramped); the trip when that makes too many."""
        with self._lock:
            self._unanswered[what] += 1
            count = self._unanswered[what]
        if count < UNANSWERED_IN_A_ROW or (what == "reading" and not self.rules.watching):
            return None
        doing = "readings" if what == "reading" else f"steps of the {what} ramp"
        return "no_reply", f"the supply answered none of the guard's last {count} {doing}"

    def _take_reading(self, status: Status | None) -> None:
        with self._lock:
            self._latest = status
            if status is not None:
                self._unanswered["reading"] = 0
                self._max_voltage = to_units("voltage", status.max_voltage)
            listeners = list(self._listeners)
        for listener in listeners:
            try:
                listener(status)
            except Exception:  # a listener's fault must not stop the guard
                log.exception("%s: a listener of the guard's readings failed", self.supply.port)

    def _tripped_by(self, status: Status) -> tuple[str, str] | None:
        """The trip a reading fires, if any: (name, reason)."""
        now = self._clock.now()
        with self._lock:
            if not in_constant_current(status):
                self._cc_since = None
            elif self._cc_since is None:
                self._cc_since = now
            cc_for = 0.0 if self._cc_since is None else now - self._cc_since
            idle = now - self._last_request
        return trip_of(self.rules, status, cc_for=cc_for, idle=idle)

    def _fire(self, name: str, reason: str, read_after: int | None = None) -> None:
        """Latch the trip `name` and switch the output off; not while one is
        latched, nor when what fired it was read before a clear that has
        come since (`read_after`: how many clears there had been then): the
        cause may be gone, removed before that clear."""
        trip = Trip(name, reason, time.time())
        with self._switch_on_lock, self._lock:
            if self._trip is not None or (read_after is not None and read_after != self._clears):
                return
            self._trip = trip
            self._ramps.clear()  # a ramp stays where it stands
            self._lock.notify_all()
        log.warning("%s: the guard tripped on %s (%s): switching the output off", self.supply.port, name, reason)
        self._switch_off(trip)

    def _switch_off(self, trip: Trip) -> None:
        with self._lock:
            self._switching_off = True
        try:
            state = self._switch_off_confirmed()
        finally:
            with self._lock:
                self._switching_off = False
                self._lock.notify_all()
        failure = None if state == "off" else still_on_message(state)
        with self._lock:
            latched = self._trip
            if latched is None or (latched.name, latched.at) != (trip.name, trip.at):
                return  # cleared meanwhile
            self._trip = dataclasses.replace(latched, output_off=failure is None, failure=failure)
        if failure is None:
            log.warning("%s: the output is off after the %s trip", self.supply.port, trip.name)
        elif failure != latched.failure:  # told once, not again at every try
            log.error("%s: after the %s trip: %s", self.supply.port, trip.name, failure)

    def _step_ramps(self, now: float) -> None:
        with self._lock:
            due = [(quantity, ramp) for quantity, ramp in self._ramps.items() if ramp.next_step()[0] <= now]
        for quantity, ramp in due:
            with self._lock:
                if self._ramps.get(quantity) is not ramp:
                    continue  # replaced, or stopped by a trip, meanwhile
                self._sending = quantity
            _, units = ramp.next_step()
            try:
                answered = self._send_setpoint(quantity, units)
            except (SupplyError, OSError):
                answered = False
            finally:
                with self._lock:
                    self._sending = None
                    self._lock.notify_all()
            if answered:
                with self._lock:
                    self._unanswered[quantity] = 0
                    # Once answered, so the next step waits its time
                    # from when this one was carried out at the latest.
                    ramp.sent(self._clock.now())
                    if ramp.done and self._ramps.get(quantity) is ramp:
                        del self._ramps[quantity]
                    self._lock.notify_all()
                continue
            ramp.unanswered += 1
            fired = self._silence(quantity)
            if fired is not None:
                self._fire(*fired)

    def _remove_listener(self, listener: Listener, reads: bool) -> None:
        with self._lock:
            if listener in self._listeners:
                self._listeners.remove(listener)
                self._readers -= reads
