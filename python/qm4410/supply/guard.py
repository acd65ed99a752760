"""The guard: rules that protect what the supply feeds, kept for every
client that goes through it (a script, every client of `qm4410 serve`).

- Limits: no voltage (or maximum voltage) above `limit_voltage`, no current
  limit above `limit_current` (0 holds it at 0), and no factory reset while
  either is set (the factory settings may lie beyond them). Nor a voltage
  above the supply's maximum voltage, as the guard last read or set it (see
  bound()).
- Slew limits: a change of the voltage (current limit) set-point larger
  than `slew_voltage` V/s (`slew_current` A/s) allows is carried out as a
  ramp (see slew.py): the set-point never runs ahead of the straight line
  at the rate, moving in steps of a fifth of the rate (at least 1 mV or
  1 mA). A later set-point replaces a ramp in progress, from where it stands
  (one sent at once, with no rate in force, stops it there); `halt()` stops
  one there too. The maximum voltage caps the output: a raise of it that
  would let the output rise is carried out at the voltage slew rate too
  (see send_max_voltage).
- Trips: a measured current above `trip_current` A, a measured power above
  `trip_power` W, constant-current regulation for `trip_cc_after` s, and
  with `trip_overtemp` the supply's over-temperature flag. A trip switches
  the output off and confirms it off in the status (again at every reading
  until it reads off), is latched and named, and every request to switch
  the output on is refused (Tripped) until `clear()`. A switch-on under
  way when a trip fires is sent before the trip's switch-off, never after.
- A watchdog: with the output on and no request for `watchdog` s, the
  output is switched off, and the trip is named "watchdog".
- Soft start: with `soft_start` (which needs `slew_voltage`, the rate it
  ramps at), switching the output on from off at a voltage set-point above
  0 is carried out as set-point 0, output on, then a ramp at the slew rate
  back to that set-point (or to where a ramp in progress was going), rather
  than as a step from 0 V.
- A supply that stops answering the guard (three readings, or three steps
  of a ramp, in a row) trips it too ("no_reply"): what cannot be watched is
  switched off, as far as it still can be.

The guard watches the supply by reading its status every `interval`
seconds (0.1 by default) while any trip or the watchdog is set (or a
listener asks for its readings), so a trip
acts within one interval and one exchange (on a line whose exchange takes
longer than the interval, the readings follow one another: two exchanges). Its own work (readings, ramp
steps, switching off) runs on one thread of its own; requests come from
any thread."""

import contextlib
import dataclasses
import logging
import threading
import time
from collections.abc import Callable, Iterator
from types import TracebackType
from typing import ClassVar, Self

from .errors import NoReply, OutOfRange, SupplyError
from .face import Supply
from .link import Link
from .setpoints import GUARD_RANGE, SUPPLY_RANGE, UNIT, Bound, Quantity, core_bound, from_units, positive, to_units
from .slew import Ramp, step_units
from .status import Mode, Status
from .switch_off import still_on_message, switch_off

log = logging.getLogger("qm4410")

WATCH_INTERVAL_S = 0.1
SLEW_STEPS_PER_S = 5.0
# How late a caller's stop() is noticed while it waits for a slewed set-point.
STOP_CHECK_S = 0.05
# Exchanges of the guard's in a row without an answer after which the
# supply counts as no longer answering: one alone is a glitch the driver
# recovers from.
UNANSWERED_IN_A_ROW = 3

TRIP_NAMES = ("current", "power", "constant_current", "over_temperature", "watchdog", "no_reply")
NOT_STARTED = "the guard is not started: start() it, or use it in a with statement"


@dataclasses.dataclass(frozen=True)
class Rules:
    """The guard's rules, each optional (None, or False for trip_overtemp
    and soft_start); the unit of each number is in UNITS."""

    UNITS: ClassVar[dict[str, str]] = {
        "limit_voltage": "V",
        "limit_current": "A",
        "slew_voltage": "V/s",
        "slew_current": "A/s",
        "trip_current": "A",
        "trip_power": "W",
        "trip_cc_after": "s",
        "watchdog": "s",
    }

    limit_voltage: float | None = None  # V
    limit_current: float | None = None  # A
    slew_voltage: float | None = None  # V/s
    slew_current: float | None = None  # A/s
    trip_current: float | None = None  # A, measured
    trip_power: float | None = None  # W, measured
    trip_cc_after: float | None = None  # s of constant-current regulation
    trip_overtemp: bool = False
    watchdog: float | None = None  # s without a request, with the output on
    soft_start: bool = False  # the output switched on at 0 V, then ramped at slew_voltage

    def __post_init__(self) -> None:
        # A limit is refused as a set-point the supply cannot take is, with
        # the rule's name; 0 is one (the set-point held at 0).
        for name in ("limit_voltage", "limit_current"):
            value = getattr(self, name)
            if value is not None:
                to_units("voltage" if name == "limit_voltage" else "current", value, name)
        for name in ("slew_voltage", "slew_current", "trip_current", "trip_power", "trip_cc_after", "watchdog"):
            value = getattr(self, name)
            if value is not None:
                positive(value, name)
        for name in ("trip_overtemp", "soft_start"):
            if not isinstance(getattr(self, name), bool):
                raise TypeError(f"{name} is True or False, not {getattr(self, name)!r}")
        if self.soft_start and self.slew_voltage is None:
            raise ValueError("soft_start needs slew_voltage, the rate it ramps the voltage at")

    @property
    def watching(self) -> bool:
        """Whether a rule needs the status read all the time."""
        return (self.trip_current, self.trip_power, self.trip_cc_after, self.watchdog) != (None,) * 4 or (
            self.trip_overtemp
        )

    def slew(self, quantity: Quantity) -> float | None:
        return self.slew_voltage if quantity == "voltage" else self.slew_current

    def limit(self, quantity: Quantity) -> float | None:
        return self.limit_voltage if quantity == "voltage" else self.limit_current


@dataclasses.dataclass(frozen=True)
class Trip:
    """What tripped the guard: `name` (one of TRIP_NAMES), why in words,
    when (time.time()), whether a status has read the output off since,
    and, while not, why the last switch-off could not confirm it (None
    before one has ended)."""

    name: str
    reason: str
    at: float
    output_off: bool = False
    failure: str | None = None

    def __str__(self) -> str:
        return f"the guard tripped on {self.name} ({self.reason})"

    @property
    def output_left(self) -> str:
        """How the trip has left the output, in words."""
        if self.output_off:
            return "the output is off"
        return self.failure or "the output is being switched off"


class Tripped(SupplyError):
    """A request refused because the guard has tripped (switching the output
    on); `trip` tells which trip."""

    def __init__(self, trip: Trip) -> None:
        super().__init__(f"{trip}; {trip.output_left}; clear the trip to switch it on")
        self.trip = trip


@dataclasses.dataclass
class SwitchOn:
    """What a switch-on sent within `Guard.switching_on()` set going: with
    soft start, the ramp that takes the voltage set-point back up, once the
    block is over (None without one)."""

    ramp: Ramp | None = None


Listener = Callable[[Status | None], object]
TargetListener = Callable[[Quantity, int], object]


class Guard:
    """The rules of `rules` (or the same as keywords) kept on `supply`, an
    open qm4410.Supply. Start it (or use it as a context manager) before
    sending through it; closing it stops a ramp where it stands and its
    thread, and leaves the supply open.

    It has the face of a Supply for what it guards: `voltage`,
    `current_limit`, `max_voltage`, `output`, `remote`, `status()`,
    `switch_off()`, `restore_factory()`, and `link`, the commands with
    plain results (see GuardedLink); setting `voltage` or `current_limit`
    (or `output`, with soft start) waits until a slew ramp has arrived
    (`set_voltage(v, wait=False)` does not). The workflows take a Guard
    wherever they take a Supply."""

    def __init__(
        self, supply: Supply, rules: Rules | None = None, *, interval: float = WATCH_INTERVAL_S, **rule_keywords: object
    ) -> None:
        if rules is not None and rule_keywords:
            raise TypeError("give the rules as a Rules object or as keywords, not both")
        self.supply = supply
        self.rules = rules if rules is not None else Rules(**rule_keywords)  # type: ignore[arg-type]
        self.interval = positive(interval, "the interval")
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
        self._last_request = time.monotonic()
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
            self._last_request = time.monotonic()
            self._thread = threading.Thread(target=self._run, name=f"qm4410 guard of {self.supply.port}", daemon=True)
        self._thread.start()
        return self

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
            self._last_request = time.monotonic()

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
            self._last_request = time.monotonic()
            trip, self._trip = self._trip, None
            self._cc_since = None
            self._clears += 1
        if trip is not None:
            log.warning("%s: the %s trip was cleared", self.supply.port, trip.name)

    # The supply's face, guarded.

    @property
    def link(self) -> "GuardedLink":
        return GuardedLink(self)

    def status(self) -> Status:
        self.touch()
        status = self.supply.status()
        self._take_reading(status)
        return status

    @property
    def voltage(self) -> float:
        return self.status().voltage

    @voltage.setter
    def voltage(self, volts: float) -> None:
        self.set_voltage(volts)

    @property
    def current_limit(self) -> float:
        return self.status().current_limit

    @current_limit.setter
    def current_limit(self, amperes: float) -> None:
        self.set_current_limit(amperes)

    @property
    def max_voltage(self) -> float:
        return self.status().max_voltage

    @max_voltage.setter
    def max_voltage(self, volts: float) -> None:
        self.send_max_voltage(self.checked("voltage", volts, "the maximum voltage", maximum=True))

    @property
    def output(self) -> bool:
        return self.status().output

    @output.setter
    def output(self, on: bool) -> None:
        self.set_output(on)

    @property
    def remote(self) -> bool:
        return self.status().remote

    @remote.setter
    def remote(self, remote: bool) -> None:
        self.touch()
        self.supply.remote = remote

    def set_voltage(self, volts: float, *, wait: bool = True) -> None:
        self.send_units("voltage", self.checked("voltage", volts), wait=wait)

    def set_current_limit(self, amperes: float, *, wait: bool = True) -> None:
        self.send_units("current", self.checked("current", amperes), wait=wait)

    def set_output(self, on: bool, *, wait: bool = True) -> None:
        """Switch the output; with soft start, return once the voltage has
        ramped back up (`wait=False`: once the output is on)."""
        self.touch()
        if not on:
            self.supply.output = on
            return
        with self.switching_on() as switched:
            self.supply.output = on
        if wait and switched.ramp is not None:
            self.wait_for("voltage", switched.ramp)

    def switch_off(self) -> None:
        self.touch()
        self.supply.switch_off()

    def restore_factory(self) -> None:
        self.check_factory_reset()
        self.touch()
        self.supply.restore_factory()

    # The checks, for doors that send in their own form (raw frames).

    def checked(self, quantity: Quantity, value: object, what: str | None = None, *, maximum: bool = False) -> int:
        """`value` in whole units as the core's rule gives them, refused
        (OutOfRange) above the guard's bound (see bound(); `maximum`: the
        maximum voltage's)."""
        return to_units(quantity, value, what, self.bound(quantity, maximum=maximum))

    def check_limit(self, quantity: Quantity, units: int, *, maximum: bool = False) -> None:
        """Refuse (OutOfRange) a set-point in whole units above the guard's bound."""
        self.checked(quantity, from_units(units), maximum=maximum)

    def bound(self, quantity: Quantity, *, maximum: bool = False, max_voltage: int | None = None) -> Bound:
        """The highest set-point of `quantity` that the guard lets through:
        the supply's own, or the guard's limit where that is lower. The
        supply's own is, for the voltage, its maximum voltage (`max_voltage`
        mV where the caller knows it, else as the guard last read or set it;
        before that, what the supply can be sent), and for the current limit
        what its status can report. `maximum`: the bound of the maximum
        voltage itself, which only the limit lowers."""
        own = core_bound(quantity)
        if quantity == "voltage" and not maximum:
            with self._lock:
                known = self._max_voltage if max_voltage is None else max_voltage
            if known is not None:
                own = Bound(known, SUPPLY_RANGE)
        limit = self.rules.limit(quantity)
        limited = None if limit is None else Bound(to_units(quantity, limit), GUARD_RANGE)
        return limited if limited is not None and limited.units < own.units else own

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
        if not self._link.set_voltage(0):
            raise NoReply(f"the supply on {self.supply.port} did not answer the soft start's voltage set-point of 0")
        try:
            yield switched
        finally:
            if target > 0:
                switched.ramp = self._start_ramp("voltage", 0, target, rate)

    def check_factory_reset(self) -> None:
        if self.rules.limit_voltage is not None or self.rules.limit_current is not None:
            raise OutOfRange("the factory settings may lie beyond the guard's limits, so a reset is refused")

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
            send = self._link.set_voltage if quantity == "voltage" else self._link.set_current
            if not send(units):
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
                if not self._link.set_voltage(ceiling):
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

    # The guard's thread.

    @property
    def _link(self) -> Link:
        return self.supply.guard_link

    def _start_ramp(self, quantity: Quantity, standing: int, units: int, rate: float) -> Ramp:
        """A ramp of `quantity` from `standing` to `units`, replacing one in
        progress, for the guard's thread to step; the target listeners are
        told where it goes."""
        with self._lock:
            ramp = Ramp(standing, units, rate, step_units(rate, SLEW_STEPS_PER_S), time.monotonic())
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
        next_reading = time.monotonic()
        while True:
            with self._lock:
                if self._closing:
                    return
                now = time.monotonic()
                due = [ramp.next_step()[0] for ramp in self._ramps.values()]
                reading = self.rules.watching or self._readers > 0
                if reading or (self._trip is not None and not self._trip.output_off):
                    due.append(next_reading)
                wake = min(due, default=None)
                if wake is None or wake > now:
                    self._lock.wait(None if wake is None else wake - now)
                    continue
            if now >= next_reading and (reading or self._trip is not None):
                next_reading = now + self.interval
                self._watch()
            self._step_ramps(time.monotonic())

    def _watch(self) -> None:
        with self._lock:
            trip, clears = self._trip, self._clears
        if trip is not None and not trip.output_off:
            self._switch_off(trip)
            return
        try:
            status = self._link.read_status()
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
        rules, now = self.rules, time.monotonic()
        with self._lock:
            if not status.output or status.mode != Mode.CC:
                self._cc_since = None
            elif self._cc_since is None:
                self._cc_since = now
            cc_for = 0.0 if self._cc_since is None else now - self._cc_since
            idle = now - self._last_request
        if rules.trip_overtemp and status.over_temperature:
            return "over_temperature", "the supply reports over-temperature"
        if rules.trip_current is not None and status.measured_current > rules.trip_current:
            return "current", f"{status.measured_current:.3f} A measured, above {rules.trip_current:g} A"
        if rules.trip_power is not None and status.power > rules.trip_power:
            return "power", f"{status.power:.3f} W measured, above {rules.trip_power:g} W"
        if rules.trip_cc_after is not None and cc_for >= rules.trip_cc_after:
            return "constant_current", f"in constant current for {cc_for:.1f} s, {rules.trip_cc_after:g} s allowed"
        if rules.watchdog is not None and status.output and idle >= rules.watchdog:
            return "watchdog", f"no request for {idle:.1f} s with the output on, {rules.watchdog:g} s allowed"
        return None

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
            state = switch_off(self._link)
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
            send = self._link.set_voltage if quantity == "voltage" else self._link.set_current
            try:
                answered = send(units)
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
                    ramp.sent(time.monotonic())
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


class GuardedLink:
    """A guard's commands with plain results, as a Link gives them (True or
    False, a status or None), for the layers that decide themselves what a
    missing answer means (the workflows): set-points kept to the guard's
    limits (OutOfRange) and slew rates (each returns once its ramp has
    arrived, or once `stop()` turns true, where it then stands), switching
    the output on refused while tripped (Tripped) and, with soft start,
    returning once the voltage has ramped back up, and each a request that
    the watchdog hears."""

    def __init__(self, guard: Guard, stop: Callable[[], object] | None = None) -> None:
        self.guard = guard
        self._stop = stop

    def set_voltage(self, units: int) -> bool:
        return self._set("voltage", units)

    def set_current(self, units: int) -> bool:
        return self._set("current", units)

    def set_output(self, on: bool) -> bool:
        self.guard.touch()
        if not on:
            return self.guard.supply.link.set_output(on)
        with self.guard.switching_on() as switched:
            answered = self.guard.supply.link.set_output(on)
        if answered and switched.ramp is not None:  # a soft start: returns once it has ramped back up
            try:
                self.guard.wait_for("voltage", switched.ramp, self._stop)
            except NoReply:
                return False
        return answered

    def read_status(self) -> Status | None:
        self.guard.touch()
        status = self.guard.supply.link.read_status()
        if status is not None:
            self.guard.note_max_voltage(to_units("voltage", status.max_voltage))
        return status

    def _set(self, quantity: Quantity, units: int) -> bool:
        self.guard.check_limit(quantity, units)
        try:
            self.guard.send_units(quantity, units, stop=self._stop)
        except NoReply:
            return False
        return True
