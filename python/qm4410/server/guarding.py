"""The server's guard: one qm4410.Guard over the held supply, whose rules
hold for every client of every endpoint. Its own exchanges (the steps of a
ramp as settings, its readings and a trip's switch-off before every other
request) take their turns on the supply's line as a client's would, so
that its replies and the clients' never cross, and its readings are the
ones every reader shares; and the requests of RFC 2217 clients, which come
as frames, are checked against it here."""

import dataclasses
from collections.abc import Callable
from typing import TypeVar

from ..supply import setpoints, wire
from ..supply.errors import OutOfRange, PortGone
from ..supply.face import Supply
from ..supply.guard import Guard, Rules
from ..supply.line import Priority
from ..supply.link import Link
from ..supply.setpoints import Quantity
from ..supply.status import Identity, Status
from .errors import SupplyGone
from .held_supply import Asker, HeldSupply

Result = TypeVar("Result")

GUARD = Asker("guard", "the guard")

# What each set-point request sets, in the core's words for its refusals.
REQUESTED: dict[int, tuple[Quantity, str]] = {
    wire.SET_VOLTAGE: ("voltage", "the voltage"),
    wire.SET_MAX_VOLTAGE: ("voltage", "the maximum voltage"),
    wire.SET_CURRENT: ("current", "the current limit"),
}
# The set-points the output follows, which the guard moves at its slew rates.
SLEWED: dict[int, Quantity] = {wire.SET_VOLTAGE: "voltage", wire.SET_CURRENT: "current"}


class TurnLink(Link):
    """The held supply's link as one asker uses it: each command one
    exchange in the asker's turn (HeldSupply.run). It has no driver of its
    own: the held supply's, opened again after the port came back, is
    reached only in turns. The port's loss is PortGone, as on a link of
    one's own, which the guard counts as no answer."""

    def __init__(self, supply: HeldSupply, asker: Asker) -> None:
        self.port = supply.port
        self._supply = supply
        self._asker = asker

    def set_voltage(self, units: int) -> bool:
        return self._in_turn(wire.SET_VOLTAGE, lambda link: link.set_voltage(units))

    def set_current(self, units: int) -> bool:
        return self._in_turn(wire.SET_CURRENT, lambda link: link.set_current(units))

    def set_max_voltage(self, units: int) -> bool:
        return self._in_turn(wire.SET_MAX_VOLTAGE, lambda link: link.set_max_voltage(units))

    def set_output(self, on: bool) -> bool:
        # A switch-off goes before every other request on the line.
        priority = Priority.SETPOINT if on else Priority.SAFETY
        return self._in_turn(wire.SET_OUTPUT, lambda link: link.set_output(on), priority)

    def set_remote(self, remote: bool) -> bool:
        return self._in_turn(wire.SET_WORK_MODE, lambda link: link.set_remote(remote))

    def restore_factory(self) -> bool:
        return self._in_turn(wire.RESTORE_FACTORY, Link.restore_factory)

    def read_status(self) -> Status | None:
        """A reading taken for the guard (or under way when it asked),
        before every other request: a trip is seen in the first reading
        after its cause, never in one from before; every other reader
        within its bound shares it (see HeldSupply.status)."""
        try:
            reading = self._supply.status(Priority.SAFETY, max_age=0.0)
        except SupplyGone as gone:
            raise PortGone(str(gone)) from None
        return None if reading is None else reading.status

    def identity(self) -> Identity:
        return self._supply.identity()

    def _in_turn(
        self, word: int | None, command: Callable[[Link], Result], priority: Priority = Priority.SETPOINT
    ) -> Result:
        try:
            return self._supply.run(command, self._asker, word, priority)
        except SupplyGone as gone:
            raise PortGone(str(gone)) from None


def guard_over(supply: HeldSupply, rules: Rules | None = None) -> Guard:
    """A guard that keeps `rules` (none: it only refuses what the supply
    cannot take) on the held supply, its exchanges in turns of its own."""
    return Guard(Supply.from_link(TurnLink(supply, GUARD)), rules)


def described(rules: Rules) -> str:
    """The rules given, for the log: "slew_voltage 2 V/s, watchdog 2 s"."""
    given = []
    for field in dataclasses.fields(rules):
        value = getattr(rules, field.name)
        if value is True:
            given.append(field.name)
        elif value is not None and value is not False:
            given.append(f"{field.name} {value:g} {Rules.UNITS[field.name]}")
    return ", ".join(given) or "none"


def frame_refusal(frame: bytes, guard: Guard) -> str | None:
    """Why the request frame `frame` may not reach the supply, if it may
    not: a set-point the core would not send (a current limit above what
    the status can report), one above the guard's bound (its limit, and for
    the voltage the supply's maximum voltage as the guard knows it), or a
    factory reset under limits. (Switching the output on while tripped is refused as it
    is sent: see Guard.switching_on.)"""
    word = wire.word_of(frame)
    try:
        if word == wire.RESTORE_FACTORY:
            guard.check_factory_reset()
        elif word in REQUESTED:
            quantity, what = REQUESTED[word]
            value = setpoints.from_units(wire.setpoint_of(frame))
            guard.checked(quantity, value, what, maximum=word == wire.SET_MAX_VOLTAGE)
    except OutOfRange as refused:
        return str(refused)
    return None
