"""SCPI's standard errors, and each client's queue of them."""

import collections
import threading

COMMAND_ERROR = -100
SYNTAX_ERROR = -102
PARAMETER_NOT_ALLOWED = -108
MISSING_PARAMETER = -109
UNDEFINED_HEADER = -113
EXECUTION_ERROR = -200
SETTINGS_CONFLICT = -221
DATA_OUT_OF_RANGE = -222
ILLEGAL_PARAMETER_VALUE = -224
HARDWARE_ERROR = -240
QUEUE_OVERFLOW = -350
QUERY_INTERRUPTED = -410
INPUT_BUFFER_OVERRUN = -363

MEANINGS = {
    0: "No error",
    COMMAND_ERROR: "Command error",
    SYNTAX_ERROR: "Syntax error",
    PARAMETER_NOT_ALLOWED: "Parameter not allowed",
    MISSING_PARAMETER: "Missing parameter",
    UNDEFINED_HEADER: "Undefined header",
    EXECUTION_ERROR: "Execution error",
    SETTINGS_CONFLICT: "Settings conflict",
    DATA_OUT_OF_RANGE: "Data out of range",
    ILLEGAL_PARAMETER_VALUE: "Illegal parameter value",
    HARDWARE_ERROR: "Hardware error",
    QUEUE_OVERFLOW: "Queue overflow",
    INPUT_BUFFER_OVERRUN: "Input buffer overrun",
    QUERY_INTERRUPTED: "Query INTERRUPTED",
}

QUEUE_LENGTH = 16


class ScpiError(Exception):
    """A command refused, or one the supply did not carry out: its error
    number and what in particular went wrong."""

    def __init__(self, code: int, detail: str = "") -> None:
        super().__init__(detail)
        self.code = code
        self.detail = detail

    def entry(self) -> str:
        """As SYSTem:ERRor? reads it: -222,"Data out of range;40 V is above ..."."""
        text = MEANINGS[self.code] + (f";{self.detail}" if self.detail else "")
        return f'{self.code},"{text.replace(chr(34), chr(39))}"'


class ErrorQueue:
    """Oldest first. Once full, the newest entry gives way to -350, as SCPI
    has it, and later errors are lost until it is read. The supply's loss is
    queued from another thread, hence the lock."""

    def __init__(self) -> None:
        self._entries: collections.deque[ScpiError] = collections.deque()
        self._lock = threading.Lock()

    def push(self, error: ScpiError) -> bool:
        """Queue `error`; whether the queue overflowed with it."""
        with self._lock:
            if len(self._entries) < QUEUE_LENGTH - 1:
                self._entries.append(error)
                return False
            if len(self._entries) == QUEUE_LENGTH - 1:
                self._entries.append(ScpiError(QUEUE_OVERFLOW))
            return True

    def pop(self) -> ScpiError:
        with self._lock:
            return self._entries.popleft() if self._entries else ScpiError(0)

    def pop_all(self) -> list[ScpiError]:
        """Every entry, oldest first; the queue is left empty."""
        with self._lock:
            entries = list(self._entries)
            self._entries.clear()
        return entries

    def clear(self) -> None:
        with self._lock:
            self._entries.clear()

    def __len__(self) -> int:
        with self._lock:
            return len(self._entries)
