"""One workflow's dealings with the supply: settings sent until answered,
readings recorded as rows, and how the output is left however it ends."""

import datetime
import math
from collections.abc import Callable, Mapping
from typing import TypeVar, cast

from ..supply.errors import SupplyGone
from ..supply.face import Supply
from ..supply.guard import Tripped
from ..supply.link import Driver, DriverLink
from ..supply.setpoints import UNIT, Quantity, to_units
from ..supply.status import Status, reading
from ..supply.supply_like import SupplyLike
from ..supply.switch_off import after_switch_off
from ..supply.switch_off import switch_off as switch_link_off
from .results import NoAnswerError, Outcome, Progress, ProgressCallback, Row, RowCallback, StopCheck
from .schedule import Clock

# Exchanges in a row without an answer after which the supply counts as
# gone. A single one is a glitch the driver recovers from (a late or
# spoilt reply), and a setting is the same however often it arrives, so
# it is simply sent again.
UNANSWERED_IN_A_ROW = 3

# Endings that switch the output off even when asked to leave it on (after
# a trip the guard has done so: the workflow sees it off).
CONDITIONS = ("stop_current", "stop_power", "over_temperature", "trip")

# What a workflow runs on: a Supply, a Guard over one (whose rules then hold
# for everything the workflow sends), or an opened driver.
Target = SupplyLike | Driver

Result = TypeVar("Result")


class Session:
    def __init__(
        self, supply: Target, on_row: RowCallback | None, on_progress: ProgressCallback | None, stop: StopCheck | None
    ) -> None:
        self.face = face_of(supply)
        self.link = self.face.commands(stop)
        self.rows: list[Row] = []
        self.clock = Clock()
        self.cycle = 1
        self.asked: dict[Quantity, float | None] = {"voltage": None, "current": None}
        self._unanswered = 0
        self._on_row = on_row
        self._on_progress = on_progress
        self._stop = stop

    def stopped(self) -> bool:
        """Whether the caller asked to stop; a trip of the guard ends the run
        here (Tripped, see carry_out), so that a wait does not outlast it."""
        self._check_trip()
        return bool(self._stop()) if self._stop is not None else False

    def set(self, quantity: Quantity, value: float) -> None:
        """Send one set-point (on the supply's grid), again until the supply
        answers."""
        units = to_units(quantity, value)
        send = self.link.set_voltage if quantity == "voltage" else self.link.set_current
        what = f"setting the {quantity} to {value:.3f} {UNIT[quantity]}"
        while not self._exchange(lambda: send(units), what):
            pass
        self.asked[quantity] = value

    def set_output(self, on: bool) -> None:
        while not self._exchange(lambda: self.link.set_output(on), f"switching the output {'on' if on else 'off'}"):
            pass

    def apply(self, setpoints: Mapping[Quantity, float], output: bool | None = None) -> None:
        """Send `setpoints` and switch the output as `output` says (None:
        as it is), in the one order that never gives the load more than
        it had before or is asked to have after: the output switched off
        first, lowered set-points before raised ones, and the output
        switched on last, once every set-point it comes on at is there.
        Every workflow switches the output on through here."""
        if output is False:
            self.set_output(False)
        for quantity, value in sorted(setpoints.items(), key=lambda setting: self._rise(*setting)):
            self.set(quantity, value)
        if output:
            self.set_output(True)

    def status(self) -> Status:
        """The status, read again until answered; no row."""
        while (status := self._exchange(self.link.read_status, "reading the status")) is None:
            pass
        return status

    def read(self, step: int, *, retry: bool) -> Row:
        """Read the status into a row, recorded and handed to the row
        callback. A read without an answer makes a row that says so, and is
        tried again with `retry`."""
        while True:
            taken_at = datetime.datetime.now().astimezone()
            elapsed = self.clock.elapsed()
            status = self._exchange(self.link.read_status, "reading the status")
            row = self._row(status, taken_at, elapsed, step)
            self.rows.append(row)
            if self._on_row is not None:
                self._on_row(row)
            if status is not None or not retry:
                return row

    def progress(self, step: int, steps: int, time_left_s: float) -> None:
        if self._on_progress is not None:
            self._on_progress(Progress(step, steps, max(time_left_s, 0.0)))

    def carry_out(self, body: Callable[[], Outcome], *, leave_on: bool) -> Outcome:
        """Run `body` and see to the output: off at the end unless
        `leave_on`, off after a stop condition in any case, off when the
        supply stopped answering (raising NoAnswerError, with the rows), and
        off unless `leave_on` when anything else (Ctrl-C) ends the run. A
        trip of the guard ends it as a stop condition does."""
        try:
            outcome = self._tripped_at_the_end(body())
        except Tripped as tripped:
            outcome = Outcome(self.rows, "trip", str(tripped.trip))
        except SupplyGone as gone:
            state = switch_link_off(self.link)
            raise NoAnswerError(
                after_switch_off(f"the supply stopped answering ({gone})", state), self.rows, state == "off"
            ) from gone.__cause__
        except BaseException:
            if not leave_on:
                switch_link_off(self.link)
            raise
        if outcome.stopped_by in CONDITIONS or not leave_on:
            state = switch_link_off(self.link)
            if state != "off":
                raise NoAnswerError(after_switch_off(outcome.reason, state), self.rows, False)
        return outcome

    def _tripped_at_the_end(self, outcome: Outcome) -> Outcome:
        """The outcome, or the trip that one last reading of the guard's
        finds: a run may end between two of its readings."""
        if outcome.stopped_by in CONDITIONS:
            return outcome
        trip = self.face.last_check()
        return outcome if trip is None else Outcome(self.rows, "trip", str(trip))

    def _rise(self, quantity: Quantity, value: float) -> float:
        """How far `value` raises the set-point sent before (unknown: the most)."""
        before = self.asked[quantity]
        return math.inf if before is None else value - before

    def _check_trip(self) -> None:
        trip = self.face.trip
        if trip is not None:
            raise Tripped(trip)

    def _exchange(self, call: Callable[[], Result], what: str) -> Result:
        self._check_trip()  # nothing more is sent once the guard has tripped
        try:
            result = call()
        except OSError as error:  # the port went away, or its line failed
            raise SupplyGone(f"the line failed while {what}: {error}") from error
        if result is None or result is False:
            self._unanswered += 1
            if self._unanswered >= UNANSWERED_IN_A_ROW:
                raise SupplyGone(f"{self._unanswered} exchanges in a row got no answer, the last while {what}")
        else:
            self._unanswered = 0
        return result

    def _row(self, status: Status | None, taken_at: datetime.datetime, elapsed: float, step: int) -> Row:
        row = {
            "timestamp": taken_at.isoformat(timespec="milliseconds"),
            "elapsed_s": round(elapsed, 3),
            "cycle": self.cycle,
            "step": step,
            "asked_voltage": self.asked["voltage"],
            "asked_current": self.asked["current"],
            "answered": status is not None,
            **reading(status),
        }
        return cast(Row, row)  # every key of Row, each with its record's type or None


def face_of(supply: Target) -> SupplyLike:
    """What a workflow runs on, as a face: a Supply or a Guard as it is,
    and a driver of the caller's as a Supply over the driver's own methods,
    which print what they always have."""
    if isinstance(supply, Driver):
        return Supply.from_link(DriverLink(supply))
    return supply


def switch_off(supply: Target) -> str | None:
    """Switch the output off and read the status back until it says so.

    Returns the output state last read back: "off" once confirmed, "on"
    when the supply still reports it on, None when no status came back. An
    error of the port counts as no answer, so this never raises for the
    line's sake."""
    return switch_link_off(face_of(supply).commands())
