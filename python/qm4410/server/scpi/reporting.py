"""Status reporting as IEEE 488.2 and SCPI lay it out: each client's own
registers (status byte, standard event status, the QUEStionable and
OPERation events and their enables) over the supply's conditions, which
every client shares.

Conditions are sampled, not watched: at every status read of any client
and every reading of the guard's. An event register latches the bits that
turned on between two samples (SCPI's default positive transitions), so a
condition that came and went between them is not seen."""

import threading

from ...supply.guard import Guard
from ...supply.status import Mode, Status
from .errors import ErrorQueue, ScpiError

# The standard event status register (*ESR?).
OPERATION_COMPLETE = 1 << 0
QUERY_ERROR = 1 << 2
DEVICE_ERROR = 1 << 3
EXECUTION_ERROR_BIT = 1 << 4
COMMAND_ERROR_BIT = 1 << 5
# Which bit an error sets, by its class: -1xx, -2xx, -3xx, -4xx.
ERROR_CLASS_BITS = {1: COMMAND_ERROR_BIT, 2: EXECUTION_ERROR_BIT, 3: DEVICE_ERROR, 4: QUERY_ERROR}

# The status byte (*STB?).
ERROR_QUEUE_BIT = 1 << 2
QUESTIONABLE_SUMMARY = 1 << 3
MESSAGE_AVAILABLE = 1 << 4
EVENT_SUMMARY = 1 << 5
MASTER_SUMMARY = 1 << 6
OPERATION_SUMMARY = 1 << 7

# STATus:QUEStionable: the regulation mode in bits 0 and 1 (CC: the voltage
# is below its set-point), as this server has always answered them;
# TEMPerature where SCPI puts it; the guard's trip and a supply that does
# not answer in bits SCPI leaves to the instrument.
CONSTANT_VOLTAGE = 1 << 0
CONSTANT_CURRENT = 1 << 1
REGULATION = {Mode.CV: CONSTANT_VOLTAGE, Mode.CC: CONSTANT_CURRENT}
OVER_TEMPERATURE = 1 << 4
TRIPPED = 1 << 9
NOT_ANSWERING = 1 << 10
# STATus:OPERation: SWEeping where SCPI puts it, for a set-point on its
# way at a slew rate.
RAMPING = 1 << 3

# Enables take 16 bits, of which bit 15 is always 0; *ESE and *SRE 8 bits.
ENABLE_MOST = 0x7FFF
BYTE_MOST = 0xFF


class Conditions:
    """The supply's conditions, shared by every client of one server: the
    last status read (by any client, or the guard), the guard's trip and its
    ramps. Each client's registers subscribe to the samples."""

    def __init__(self, guard: Guard) -> None:
        self._guard = guard
        self._lock = threading.Lock()
        self._status: Status | None = None
        self._answering = True
        self._subscribers: set[Registers] = set()
        self._unlisten = guard.add_listener(self.observe)

    def close(self) -> None:
        self._unlisten()

    def observe(self, status: Status | None) -> None:
        """A status read (None: one the supply did not answer) taken as the
        supply's state now; every subscriber samples the conditions."""
        with self._lock:
            if status is not None:
                self._status = status
            self._answering = status is not None
            subscribers = list(self._subscribers)
        words = self.words()
        for registers in subscribers:
            registers.sample(*words)

    def words(self) -> tuple[int, int]:
        """The QUEStionable and OPERation condition words as last sampled;
        the guard's state as it is now."""
        with self._lock:
            status, answering = self._status, self._answering
        questionable = 0 if answering else NOT_ANSWERING
        operation = 0
        if status is not None and answering:
            questionable |= REGULATION.get(status.mode, 0) | (OVER_TEMPERATURE if status.over_temperature else 0)
        if self._guard.trip is not None:
            questionable |= TRIPPED
        if self._guard.ramping("voltage") or self._guard.ramping("current"):
            operation |= RAMPING
        return questionable, operation

    def subscribe(self, registers: "Registers") -> None:
        registers.baseline(*self.words())
        with self._lock:
            self._subscribers.add(registers)

    def unsubscribe(self, registers: "Registers") -> None:
        with self._lock:
            self._subscribers.discard(registers)


class EventRegister:
    """A SCPI status register: the condition last sampled, the event bits
    latched since the last read, and the enable mask of the summary bit."""

    def __init__(self) -> None:
        self.condition = 0
        self.event = 0
        self.enable = 0

    def sample(self, condition: int) -> None:
        self.event |= condition & ~self.condition
        self.condition = condition

    def read(self) -> int:
        event, self.event = self.event, 0
        return event

    @property
    def summary(self) -> bool:
        return bool(self.event & self.enable)


class Registers:
    """One client's status reporting: its error queue, standard event
    status register and its enable, service request enable, and its
    QUEStionable and OPERation registers. The supply's loss and the
    conditions' samples come from other threads, hence the lock."""

    def __init__(self) -> None:
        self.errors = ErrorQueue()
        self.questionable = EventRegister()
        self.operation = EventRegister()
        self.event_enable = 0
        self.service_enable = 0
        self._events = 0
        self._lock = threading.Lock()

    def report(self, error: ScpiError) -> None:
        """Queue an error; its class sets its bit of the event register (and
        a queue that overflows, the device-dependent one)."""
        overflowed = self.errors.push(error)
        self.add_events(ERROR_CLASS_BITS.get(-error.code // 100, 0) | (DEVICE_ERROR if overflowed else 0))

    def add_events(self, bits: int) -> None:
        with self._lock:
            self._events |= bits

    def read_events(self) -> int:
        """*ESR?: the standard event status register, cleared by reading."""
        with self._lock:
            events, self._events = self._events, 0
        return events

    def baseline(self, questionable: int, operation: int) -> None:
        """The conditions when the client came: what held before is no event of its."""
        with self._lock:
            self.questionable.condition, self.operation.condition = questionable, operation

    def sample(self, questionable: int, operation: int) -> None:
        with self._lock:
            self.questionable.sample(questionable)
            self.operation.sample(operation)

    def read_event(self, register: EventRegister) -> int:
        with self._lock:
            return register.read()

    def status_byte(self, answer_waiting: bool) -> int:
        """*STB?: the summary of every register, with the master summary."""
        with self._lock:
            byte = (
                (ERROR_QUEUE_BIT if len(self.errors) else 0)
                | (QUESTIONABLE_SUMMARY if self.questionable.summary else 0)
                | (MESSAGE_AVAILABLE if answer_waiting else 0)
                | (EVENT_SUMMARY if self._events & self.event_enable else 0)
                | (OPERATION_SUMMARY if self.operation.summary else 0)
            )
        return byte | (MASTER_SUMMARY if byte & self.service_enable else 0)

    def clear(self) -> None:
        """*CLS: the error queue and every event register emptied; the
        enables stay."""
        self.errors.clear()
        with self._lock:
            self._events = 0
            self.questionable.event = self.operation.event = 0

    def preset(self) -> None:
        """STATus:PRESet: the QUEStionable and OPERation enables to 0."""
        with self._lock:
            self.questionable.enable = self.operation.enable = 0
