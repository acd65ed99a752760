"""One SCPI client's session: its lines run against the supply, its own
error queue.

A line runs as a whole or not at all: every unit of it is checked first
(header, parameters, the guard's limits), and a line with a refused unit
sends nothing to the supply and answers nothing. Once checked, its units
run in order; after one the supply did not carry out, the rest of the line
is not sent (a later one may rely on it), and every query from there on
answers SCPI's not-a-number, so that the response still has one field per
query and no client waits for one that will not come.

Every line is a request that the guard's watchdog hears. A set-point the
slew rate in force moves (the client's own, set by VOLTage:SLEW, else the
server's) is handed to the guard as a ramp and the line goes on at once:
the ramp is the client's operation in progress, which *OPC, *OPC? and *WAI
wait for.
"""

import logging
import time
from collections.abc import Callable
from typing import Any, TypeVar

from ...supply import wire
from ...supply.errors import NoReply, PortGone
from ...supply.guard import Guard, Tripped
from ...supply.link import Link
from ...supply.setpoints import Quantity, to_units
from ...supply.slew import Ramp
from ...supply.status import Status
from ..endpoints import identification
from ..errors import SupplyGone
from ..guarding import SLEWED
from ..held_supply import Asker, HeldSupply
from . import commands, syntax
from .errors import EXECUTION_ERROR, HARDWARE_ERROR, INPUT_BUFFER_OVERRUN, UNDEFINED_HEADER, ScpiError
from .reporting import OPERATION_COMPLETE, Conditions, Registers

log = logging.getLogger("qm4410.serve")

NOT_A_NUMBER = "9.91E+37"
Result = TypeVar("Result")


class Session:
    """A client's session; close() it when the client leaves."""

    def __init__(self, supply: HeldSupply, guard: Guard, asker: Asker, conditions: Conditions) -> None:
        self.registers: Registers = Registers()
        self.guard: Guard = guard
        # Whether an earlier query of the line being run has its answer waiting.
        self.answer_waiting = False
        self._supply = supply
        self._asker = asker
        self._name = asker.name
        self._conditions = conditions
        # The client's own slew rates, lower than the server's; None: the server's.
        self._slew: dict[Quantity, float | None] = {"voltage": None, "current": None}
        # The ramps of its set-points, while they may be in progress.
        self._ramps: dict[Quantity, Ramp] = {}
        # An *OPC waiting for them to end.
        self._completion_pending = False
        # When the latest reading it was answered with was taken, and that
        # before the line being run: each line reads a reading it has not
        # had, so that a client asking back to back is answered each
        # reading once, as the supply's line takes them, not the same one
        # again and again as fast as the server can answer.
        self._answered_at: float | None = None
        self._line_after: float | None = None
        conditions.subscribe(self.registers)

    def close(self) -> None:
        self._conditions.unsubscribe(self.registers)

    def execute(self, line: str) -> str | None:
        """Run one line; the response to send, None when there is none."""
        self.guard.touch()
        self._line_after = self._answered_at
        try:
            steps = self._checked(line)
        except ScpiError as error:
            log.debug("%s: %s refused: %s", self._name, line, error.entry())
            self.registers.report(error)
            return None
        responses = []
        failed = False
        for unit, command, value in steps:
            if failed:
                if unit.query:
                    responses.append(NOT_A_NUMBER)
                continue
            started = time.monotonic()
            self.answer_waiting = bool(responses)
            try:
                response = command.run(self, value)
            except ScpiError as error:
                self.registers.report(error)
                failed = True
                response = NOT_A_NUMBER if unit.query else None
                outcome = error.entry()
            else:
                outcome = response if response is not None else "done"
            log.debug("%s: %s -> %s in %.1f ms", self._name, unit.text, outcome, (time.monotonic() - started) * 1e3)
            if response is not None:
                responses.append(response)
        return ";".join(responses) if responses else None

    def refuse_overrun(self, longest: int) -> None:
        self.registers.report(ScpiError(INPUT_BUFFER_OVERRUN, f"a line longer than {longest} bytes was refused"))

    def tell_lost(self, reason: str) -> None:
        self.registers.report(ScpiError(HARDWARE_ERROR, reason))
        self._conditions.observe(None)

    def _checked(self, line: str) -> list[tuple[syntax.Unit, commands.Command, Any]]:
        steps: list[tuple[syntax.Unit, commands.Command, Any]] = []
        # Each unit after the first is looked up below the node where the one
        # before it ended, as SCPI has it, else from the root.
        path: tuple[str, ...] = ()
        check = commands.Check(self.guard)
        for unit in syntax.units_of(line):
            candidates = [unit.nodes] if unit.rooted or not path else [path + unit.nodes, unit.nodes]
            for nodes in candidates:
                command = commands.find(nodes, unit.query)
                if command is not None:
                    break
            else:
                raise ScpiError(UNDEFINED_HEADER, unit.text)
            if not unit.common:
                path = nodes[:-1]
            steps.append((unit, command, command.prepare(check, unit.parameters)))
        return steps

    # What the commands do with the supply.

    def identity(self) -> str:
        return identification(_told(self._supply.identity))

    def setting(self, request: int, send: Callable[[Link], bool]) -> None:
        """Send a setting; a failure names the request word that sends it."""
        if not self._run(send, request):
            raise ScpiError(HARDWARE_ERROR, f"the supply did not answer {wire.REQUESTS[request]}")

    def set_point(self, request: int, send: Callable[[Link, int], bool], units: int) -> None:
        """Send a set-point of `units`: at once where no slew rate is in
        force for it (stopping a ramp in progress), else as the guard's ramp
        from where it stands, which goes on after this returns (a maximum
        voltage through the guard, which raises it within the voltage's)."""
        if request == wire.SET_MAX_VOLTAGE and (rate := self.slew_rate("voltage")) is not None:
            # A raise that lets the output rise is carried out within the rate.
            self._ramping("voltage", lambda: self.guard.send_max_voltage(units, rate=rate))
            return
        quantity = SLEWED.get(request)
        rate = None if quantity is None else self.slew_rate(quantity)
        if quantity is None or rate is None:
            if quantity is not None:
                self.guard.halt(quantity, wait=True)
                self._ramps.pop(quantity, None)
            self.setting(request, lambda link: send(link, units))
            if request == wire.SET_MAX_VOLTAGE:
                self.guard.note_max_voltage(units)  # the voltage's bound from now on
            return
        self._ramping(quantity, lambda: self.guard.send_units(quantity, units, wait=False, rate=rate))

    def _ramping(self, quantity: Quantity, start: Callable[[], Ramp | None]) -> None:
        """A set-point handed to the guard by `start`; the ramp it begins, if
        any, is this client's operation in progress."""
        try:
            ramp = start()
        except (NoReply, PortGone) as failure:
            raise ScpiError(HARDWARE_ERROR, str(failure)) from None
        if ramp is not None:
            self._ramps[quantity] = ramp

    def slew_rate(self, quantity: Quantity) -> float | None:
        """The slew rate in force for this client's set-points; None: none."""
        own = self._slew[quantity]
        return own if own is not None else self.guard.slew_rate(quantity)

    def set_slew_rate(self, quantity: Quantity, rate: float | None) -> None:
        """This client's own rate (checked against the server's), or None
        for the server's."""
        self._slew[quantity] = rate

    def switch_output(self, on: bool) -> None:
        """Switch the output; on only while no trip is latched, checked as it
        is sent (a trip that fires meanwhile switches it off after). A soft
        start's ramp back up is this client's operation in progress."""
        if not on:
            self.setting(wire.SET_OUTPUT, lambda link: link.set_output(False))
            return
        try:
            with self.guard.switching_on() as switched:
                self.setting(wire.SET_OUTPUT, lambda link: link.set_output(True))
        except Tripped as refused:
            raise ScpiError(EXECUTION_ERROR, str(refused)) from None
        except (NoReply, PortGone) as failure:  # the soft start's status read or set-point of 0
            raise ScpiError(HARDWARE_ERROR, str(failure)) from None
        if switched.ramp is not None:
            self._ramps["voltage"] = switched.ramp

    def clear_trip(self) -> None:
        """Clear the guard's trip, for every client; the log says who did."""
        trip = self.guard.trip
        if trip is not None:
            log.info("%s clears the %s trip", self._name, trip.name)
        self.guard.clear()

    def reset(self) -> None:
        """*RST: every ramp stopped where it stands (its next step would
        undo what follows), this client's own slew rates and pending *OPC
        forgotten, then the supply's factory settings, which switch the
        output off."""
        self._halt_ramps()
        self._ramps.clear()
        self._slew = {"voltage": None, "current": None}
        self._completion_pending = False
        self.setting(wire.RESTORE_FACTORY, Link.restore_factory)

    def self_test(self) -> str:
        """*TST?: 0 when the supply answers a status request, else 1."""
        try:
            self.status()
        except ScpiError:
            return "1"
        return "0"

    def wait_for_operations(self) -> None:
        """*WAI and *OPC?: return once the ramps of this client's set-points
        are over; one that the supply stopped answering, or a trip, ended is
        queued as the error it is."""
        ramps, self._ramps = self._ramps, {}
        for quantity, ramp in ramps.items():
            try:
                self.guard.wait_for(quantity, ramp)
            except (NoReply, Tripped) as failure:
                code = HARDWARE_ERROR if isinstance(failure, NoReply) else EXECUTION_ERROR
                self.registers.report(ScpiError(code, str(failure)))

    def complete_operations(self) -> None:
        """*OPC: the operation-complete event once this client's ramps are over."""
        self._completion_pending = True
        self.settle_completion()

    def settle_completion(self) -> None:
        """Set a pending *OPC's event if its ramps are over by now."""
        self._ramps = {q: ramp for q, ramp in self._ramps.items() if self.guard.ramping(q, ramp)}
        if self._completion_pending and not self._ramps:
            self._completion_pending = False
            self.registers.add_events(OPERATION_COMPLETE)

    def clear_status(self) -> None:
        """*CLS: the registers' events and errors emptied, a pending *OPC forgotten."""
        self._completion_pending = False
        self.registers.clear()

    def sample_conditions(self) -> None:
        """A fresh status read, sampled into every client's registers; one
        the supply does not answer is sampled as such, not refused."""
        try:
            self.status()
        except ScpiError:
            pass

    def status_byte(self, message_available: bool) -> int:
        """The status byte, its summaries current: the supply's status is read
        first where an enabled QUEStionable or OPERation bit could change
        one, and this client's ramps that have ended complete a pending
        *OPC. `message_available` is the MAV bit, which only the door knows
        (an answer waiting to be read)."""
        registers = self.registers
        if registers.questionable.enable or registers.operation.enable:
            self.sample_conditions()
        self.settle_completion()
        return registers.status_byte(message_available)

    def status(self) -> Status:
        try:
            reading = _told(lambda: self._supply.status(newer_than=self._line_after))
        except ScpiError:
            self._conditions.observe(None)
            raise
        status = None if reading is None else reading.status
        if reading is not None:
            self._answered_at = reading.answered_at
        self._conditions.observe(status)
        if status is None:
            raise ScpiError(HARDWARE_ERROR, "the supply did not answer the status request")
        self.guard.note_max_voltage(to_units("voltage", status.max_voltage))
        return status

    def max_voltage(self) -> int:
        """The supply's maximum voltage now, mV: a status read."""
        return to_units("voltage", self.status().max_voltage)

    def _halt_ramps(self) -> None:
        for quantity in SLEWED.values():
            self.guard.halt(quantity, wait=True)

    def _run(self, action: Callable[[Link], Result], word: int | None) -> Result:
        return _told(lambda: self._supply.run(action, self._asker, word))


def _told(call: Callable[[], Result]) -> Result:
    """What `call` gives; the port's loss as the hardware error SCPI tells."""
    try:
        return call()
    except SupplyGone as gone:
        raise ScpiError(HARDWARE_ERROR, str(gone)) from None
