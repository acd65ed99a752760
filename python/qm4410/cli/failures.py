"""Exit statuses of the qm4410 command, and the exceptions that carry them."""

import signal

# 1 is left to Python itself (an uncaught error).
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
    Exception, for the reason SystemExit is not one: the driver's open()
    and every `except Exception` on the way out would take it for an error
    to report and carry on."""

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
