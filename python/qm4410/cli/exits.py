"""Exit statuses of the qm4410 command, and the exceptions that carry them.

| status | meaning |
|---|---|
| 0 | done |
| 1 | a fault of the command itself (Python's own traceback) |
| 2 | a bad command line, profile or value (USAGE) |
| 3 | there is no such port (PORT_MISSING) |
| 4 | no access to the port (PERMISSION_DENIED) |
| 5 | another program holds the port (PORT_BUSY) |
| 6 | the supply did not answer (NO_ANSWER) |
| 7 | the device is of another model (WRONG_MODEL) |
| 8 | a setting did not take (SETTING_FAILED), or the output could not be confirmed off |
| 9 | the port could not be opened (CANNOT_OPEN) |
| 10 | the virtual supply did not start (SIMULATOR_FAILED) |
| 11 | the line to the supply was lost (LINE_LOST) |
| 12 | a package the option needs is missing (MISSING_DEPENDENCY) |
| 13 | a file could not be read or written (FILE_ERROR) |
| 14 | the port is no serial port (NOT_A_PORT) |
| 15 | no virtual supply is installed (NO_VIRTUAL_SUPPLY) |
| 16 | done, but the supply warns: over-temperature, output held at its maximum (SUPPLY_WARNS) |
| 17 | nothing accepts connections at a URL's host and port (CANNOT_CONNECT) |
| 18 | a URL's host is not known (HOST_UNKNOWN) |
| 19 | the server at a URL hung up on this client (REMOTE_BUSY) |
| 20 | `serve` cannot listen where it was asked to (CANNOT_LISTEN) |
| 21 | the guard tripped (`--trip-…`): the output switched off and confirmed off (TRIPPED); else 8, 6 or 11 |
| 22 | the `--csv`/`--jsonl` file is there and not empty, and neither `--append` nor `--overwrite` (LOG_EXISTS) |
| 128 + N | ended by signal N: 130 Ctrl-C, 143 SIGTERM, 129 a hang-up |
"""

import enum
import signal

from ..supply import RefusalKind


class Exit(enum.IntEnum):
    OK = 0
    USAGE = 2  # as argparse exits on a bad command line
    PORT_MISSING = 3
    PERMISSION_DENIED = 4
    PORT_BUSY = 5
    NO_ANSWER = 6
    WRONG_MODEL = 7
    SETTING_FAILED = 8
    CANNOT_OPEN = 9
    SIMULATOR_FAILED = 10
    LINE_LOST = 11
    MISSING_DEPENDENCY = 12
    FILE_ERROR = 13
    NOT_A_PORT = 14
    NO_VIRTUAL_SUPPLY = 15
    SUPPLY_WARNS = 16
    # A port elsewhere, named by a URL (rfc2217://host:port).
    CANNOT_CONNECT = 17
    HOST_UNKNOWN = 18
    REMOTE_BUSY = 19
    # qm4410 serve
    CANNOT_LISTEN = 20
    # A guard's trip ended the command (set, sweep, ramp, run).
    TRIPPED = 21
    # A log is never replaced unasked (monitor, sweep, ramp, run).
    LOG_EXISTS = 22


# Why a port could not be opened, as the status the command exits with.
REFUSAL_EXIT = {kind: Exit[kind.name] for kind in RefusalKind}

# The signals that end the command, of those this system has: Windows has
# no SIGHUP, and Ctrl-Break there is SIGBREAK.
_ENDING_SIGNALS = tuple(
    getattr(signal, name) for name in ("SIGHUP", "SIGINT", "SIGTERM", "SIGBREAK") if hasattr(signal, name)
)


def ending_signals() -> list[int]:
    """The signals that end the command, but those whoever started it asked
    to ignore (nohup ignores hang-ups; a shell, Ctrl-C for a job in the
    background), as Python itself leaves an ignored SIGINT alone."""
    return [sig for sig in _ENDING_SIGNALS if signal.getsignal(sig) is not signal.SIG_IGN]


def signal_status(signum: int) -> int:
    """The shell's convention for a death by a signal: 128 + its number."""
    return 128 + signum


INTERRUPTED = signal_status(signal.SIGINT)


class Ending(BaseException):
    """Ends the command with `status` once every cleanup on the way out has
    run (the port closed, the output switched off, the simulator stopped).

    Raised where the reason is found; the command's entry point turns it
    into its one line on standard error and the exit status. Not an
    Exception, for the reason SystemExit is not one: every `except
    Exception` on the way out would take it for an error to report and
    carry on."""

    def __init__(self, status: int, message: str) -> None:
        super().__init__(message)
        self.status = status
        self.message = message

    def line(self) -> str:
        return f"qm4410: {self.message}"


class CommandError(Ending):
    """What went wrong, said so that a person can act on it."""

    def line(self) -> str:
        return f"qm4410: error: {self.message}"


class Stopped(Ending):
    """A signal (Ctrl-C, SIGTERM, a hang-up) ended the command."""

    def __init__(self, signum: int) -> None:
        reason = "interrupted" if signum == signal.SIGINT else f"stopped by {signal.Signals(signum).name}"
        super().__init__(signal_status(signum), reason)
        self.signum = signum
