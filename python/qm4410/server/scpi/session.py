"""One SCPI client's session: its lines run against the supply, its own
error queue.

A line runs as a whole or not at all: every unit of it is checked first
(header, parameters, the server's limits), and a line with a refused unit
sends nothing to the supply and answers nothing. Once checked, its units
run in order; after one the supply did not carry out, the rest of the line
is not sent (a later one may rely on it), and every query from there on
answers SCPI's not-a-number, so that the response still has one field per
query and no client waits for one that will not come.
"""

import logging
import time
from collections.abc import Callable
from typing import Any, TypeVar

from ...supply import wire
from ...supply.link import Link
from ...supply.status import Status
from ..errors import SupplyGone
from ..held_supply import Asker, HeldSupply
from ..limits import Limits
from . import commands, syntax
from .errors import HARDWARE_ERROR, INPUT_BUFFER_OVERRUN, UNDEFINED_HEADER, ErrorQueue, ScpiError

log = logging.getLogger("qm4410.serve")

NOT_A_NUMBER = "9.91E+37"
Result = TypeVar("Result")


class Session:
    def __init__(self, supply: HeldSupply, limits: Limits, asker: Asker) -> None:
        self.errors: ErrorQueue = ErrorQueue()
        self._supply = supply
        self._limits = limits
        self._asker = asker
        self._name = asker.name

    def execute(self, line: str) -> str | None:
        """Run one line; the response to send, None when there is none."""
        try:
            steps = self._checked(line)
        except ScpiError as error:
            log.debug("%s: %s refused: %s", self._name, line, error.entry())
            self.errors.push(error)
            return None
        responses = []
        failed = False
        for unit, command, value in steps:
            if failed:
                if unit.query:
                    responses.append(NOT_A_NUMBER)
                continue
            started = time.monotonic()
            try:
                response = command.run(self, value)
            except ScpiError as error:
                self.errors.push(error)
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
        self.errors.push(ScpiError(INPUT_BUFFER_OVERRUN, f"a line longer than {longest} bytes was refused"))

    def tell_lost(self, reason: str) -> None:
        self.errors.push(ScpiError(HARDWARE_ERROR, reason))

    def _checked(self, line: str) -> list[tuple[syntax.Unit, commands.Command, Any]]:
        steps: list[tuple[syntax.Unit, commands.Command, Any]] = []
        # Each unit after the first is looked up below the node where the one
        # before it ended, as SCPI has it, else from the root.
        path: tuple[str, ...] = ()
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
            steps.append((unit, command, command.prepare(self._limits, unit.parameters)))
        return steps

    # What the commands do with the supply.

    def identity(self) -> str:
        identity = _told(self._supply.identity)
        fields = ("QM4410", identity.model, identity.serial_number, identity.software_version)
        return ",".join(_field(str(value)) for value in fields)

    def setting(self, request: int, send: Callable[[Link], bool]) -> None:
        """Send a setting; a failure names the request word that sends it."""
        if not self._run(send, request):
            raise ScpiError(HARDWARE_ERROR, f"the supply did not answer {wire.REQUESTS[request]}")

    def status(self) -> Status:
        status = self._run(Link.read_status, wire.READ_STATUS)
        if status is None:
            raise ScpiError(HARDWARE_ERROR, "the supply did not answer the status request")
        return status

    def _run(self, action: Callable[[Link], Result], word: int) -> Result:
        return _told(lambda: self._supply.run(action, self._asker, word))


def _told(call: Callable[[], Result]) -> Result:
    """What `call` gives; the port's loss as the hardware error SCPI tells."""
    try:
        return call()
    except SupplyGone as gone:
        raise ScpiError(HARDWARE_ERROR, str(gone)) from None


def _field(text: str) -> str:
    """A field of *IDN?'s answer: printable ASCII without the separators;
    anything else (the serial number may hold NUL bytes) as an escape."""
    return "".join(c if " " <= c <= "~" and c not in ',;"' else f"\\x{ord(c):02x}" for c in text)
