"""The guard's face: a Supply's, for what it guards (Guard), and its
commands with plain results for the workflows (GuardedLink)."""

from collections.abc import Callable

from ..errors import NoReply, OutOfRange
from ..setpoints import GUARD_RANGE, SUPPLY_RANGE, Bound, Quantity, core_bound, from_units, to_units
from ..slew import Ramp
from ..status import Status
from ..supply_like import SetPointProperties
from .engine import Engine


class Guard(Engine, SetPointProperties):
    """The rules of `rules` (or the same as keywords) kept on `supply`, an
    open qm4410.Supply. Start it (or use it as a context manager) before
    sending through it; closing it stops a ramp where it stands and its
    thread, and leaves the supply open.

    It has the face of a Supply for what it guards (see SupplyLike):
    `voltage`, `current_limit`, `max_voltage`, `output`, `remote`,
    `status()`, `set_voltage()`, `set_current_limit()`, `set_max_voltage()`,
    `set_output()`, `set_remote()`,
    `switch_off()`, `restore_factory()`, and `link`, the commands with
    plain results (see GuardedLink); setting `voltage` or `current_limit`
    (or `output`, with soft start) waits until a slew ramp has arrived
    (`set_voltage(v, wait=False)` does not). The workflows take a Guard
    wherever they take a Supply. Its thread keeps time by `clock` (see
    Clock), the monotonic clock unless a test gives one of its own."""

    # The supply's face, guarded.

    @property
    def port(self) -> str:
        return self.supply.port

    @property
    def link(self) -> "GuardedLink":
        return GuardedLink(self)

    def commands(self, stop: Callable[[], object] | None = None) -> "GuardedLink":
        """The guard's commands with plain results, for a workflow: a slewed
        set-point's wait ends once `stop()` turns true (see GuardedLink)."""
        return GuardedLink(self, stop)

    def status(self) -> Status:
        self.touch()
        status = self.supply.status()
        self._take_reading(status)
        return status

    def set_voltage(self, volts: float, *, wait: bool = True) -> None:
        self.send_units("voltage", self.checked("voltage", volts), wait=wait)

    def set_current_limit(self, amperes: float, *, wait: bool = True) -> None:
        self.send_units("current", self.checked("current", amperes), wait=wait)

    def set_max_voltage(self, volts: float) -> None:
        self.send_max_voltage(self.checked("voltage", volts, "the maximum voltage", maximum=True))

    def set_remote(self, remote: bool) -> None:
        self.touch()
        self.supply.set_remote(remote)

    def set_output(self, on: bool, *, wait: bool = True) -> None:
        """Switch the output; with soft start, return once the voltage has
        ramped back up (`wait=False`: once the output is on)."""
        ramp = self.send_output(on)
        if wait and ramp is not None:
            self.wait_for("voltage", ramp)

    def send_output(self, on: bool) -> Ramp | None:
        """Switch the output, without waiting for a soft start's ramp back
        up: that ramp is returned (None without one), for the caller to wait
        for (see wait_for) or halt."""
        self.touch()
        if not on:
            self.supply.output = on
            return None
        with self.switching_on() as switched:
            self.supply.output = on
        return switched.ramp

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

    def check_factory_reset(self) -> None:
        if self.rules.limit_voltage is not None or self.rules.limit_current is not None:
            raise OutOfRange("the factory settings may lie beyond the guard's limits, so a reset is refused")


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
