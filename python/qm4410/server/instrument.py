"""One client of a VISA door (HiSLIP, VXI-11) as the instrument serves it:
its messages cut into lines and run by the one SCPI engine, in a session of
its own (its error queue and status registers, as each client of the raw
socket has), and what else those doors ask of an instrument: device clear,
remote and local control, a trigger and the status byte."""

import contextlib
import threading

from ..supply import wire
from .endpoints import Context
from .held_supply import Asker
from .scpi.endpoint import MAX_LINE, Lines
from .scpi.errors import ScpiError
from .scpi.reporting import Conditions
from .scpi.session import Session


class InstrumentSession:
    """A client's session; it is also the holder that stands for the client
    in the server's device lock. close() it when the client leaves: what it
    held of the lock is given back."""

    def __init__(self, context: Context, conditions: Conditions, asker: Asker) -> None:
        self.lock = context.device_lock
        self.session = Session(context.supply, context.guard, asker, conditions)
        self.name = asker.name
        # Held while a message is carried out: a status byte read meanwhile
        # (from another thread, at HiSLIP's asynchronous channel) reads the
        # registers as they stand rather than the engine's state in motion.
        self._busy = threading.Lock()
        self._lines = Lines()
        self._exits = contextlib.ExitStack()
        self._exits.callback(self.session.close)
        self._exits.enter_context(context.supply.watching(self.session.tell_lost))

    def take(self, data: bytes, end: bool) -> list[bytes]:
        """Part of a message (all of it up to `end`): the responses of the
        lines it completes, each ending in a newline, as 488.2 ends one."""
        responses = []
        with self._busy:
            lines = self._lines.feed(data) + (self._lines.end() if end else [])
            for line in lines:
                if line is None:
                    self.session.refuse_overrun(MAX_LINE)
                    continue
                response = self.session.execute(line.decode("latin-1").rstrip("\r"))
                if response is not None:
                    responses.append(response.encode("ascii", "backslashreplace") + b"\n")
        return responses

    def clear(self) -> None:
        """Device clear: what was sent of an unfinished message is forgotten
        (the door forgets the responses not yet read). The status registers
        stay, as IEEE 488.2 has it."""
        with self._busy:
            self._lines = Lines()

    def status_byte(self, message_available: bool) -> int:
        """The status byte without a query (`message_available`: the MAV bit,
        which the door knows); while a message is being carried out, the
        registers as they stand."""
        if not self._busy.acquire(blocking=False):
            return self.session.registers.status_byte(message_available)
        try:
            return self.session.status_byte(message_available)
        finally:
            self._busy.release()

    def control(self, remote: bool) -> None:
        """The supply's remote or local control, as SYSTem:REMote and
        :LOCal set it; a failure is queued as the command's would be."""
        with self._busy:
            self.session.guard.touch()
            try:
                self.session.setting(wire.SET_WORK_MODE, lambda link: link.set_remote(remote))
            except ScpiError as error:
                self.session.registers.report(error)

    def trigger(self) -> None:
        """The supply has no trigger: one is taken and does nothing but tell
        the guard's watchdog that a client is there."""
        self.session.guard.touch()

    def report(self, error: ScpiError) -> None:
        """Queue an error the door found (not the engine)."""
        self.session.registers.report(error)

    def close(self) -> None:
        self.lock.release_all(self)
        self._exits.close()
