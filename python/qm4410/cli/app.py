"""Entry point of the qm4410 command: parse, run, and turn whatever ended the
run into its one line on standard error and the exit status, here alone."""

import contextlib
import os
import signal
import sys
from collections.abc import Iterator
from types import FrameType

from qm4410.supply import NoReply, PortGone, Refused, SwitchOffFailed
from qm4410.workflows import NoAnswerError

from . import arguments, terminal
from .exits import REFUSAL_EXIT, CommandError, Ending, Exit, Stopped, ending_signals


def main(argv: list[str] | None = None) -> int:
    args = arguments.parse(argv)
    # A command that keeps a log of its own (serve) shows -v there instead.
    with terminal.console(args.verbose and not getattr(args, "logs_itself", False)), _signals_end_the_command():
        try:
            return int(args.run(args))
        except BaseException as error:
            ending = ending_of(error)
            if ending is None:
                raise
            if ending.message:
                print(ending.line(), file=sys.stderr)
            return ending.status


def ending_of(error: BaseException) -> Ending | None:
    """The exit that `error` stands for; None for a fault of the command
    itself, which Python reports with its traceback."""
    if isinstance(error, Ending):
        return error
    if isinstance(error, KeyboardInterrupt):
        return Stopped(signal.SIGINT)
    if isinstance(error, Refused):  # the port could not be opened as a supply
        return CommandError(REFUSAL_EXIT[error.kind], error.text)
    if isinstance(error, NoReply):
        return CommandError(Exit.NO_ANSWER, str(error))
    if isinstance(error, SwitchOffFailed):
        return CommandError(Exit.SETTING_FAILED, str(error))
    if isinstance(error, PortGone):  # its message says which line or connection was lost
        return CommandError(Exit.LINE_LOST, str(error))
    if isinstance(error, NoAnswerError):  # a workflow's supply stopped answering, or its port went away
        return CommandError(Exit.LINE_LOST if isinstance(error.__cause__, OSError) else Exit.NO_ANSWER, str(error))
    if isinstance(error, BrokenPipeError):
        # The reader (say, `head`) has gone: stop quietly, and keep Python
        # from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return Ending(Exit.OK, "")
    if isinstance(error, OSError) and error.filename:
        return CommandError(Exit.FILE_ERROR, f"{error.filename}: {error.strerror}")
    return None


@contextlib.contextmanager
def _signals_end_the_command() -> Iterator[None]:
    """SIGTERM, a hang-up (and Ctrl-Break on Windows) end the command as an
    error would, so that every cleanup on the way out (closing the port,
    stopping the virtual supply) still runs. Ctrl-C does so already."""
    ours = [sig for sig in ending_signals() if sig != signal.SIGINT]
    previous = {sig: signal.signal(sig, _terminate) for sig in ours}
    try:
        yield
    finally:
        # A command may have taken a signal over for good (monitor ignores
        # them once it is finishing); only what is still ours goes back.
        for sig, handler in previous.items():
            if signal.getsignal(sig) is _terminate:
                signal.signal(sig, handler)


def _terminate(signum: int, frame: FrameType | None) -> None:
    if signum == getattr(signal, "SIGHUP", None):
        terminal.note_hang_up()
    raise Stopped(signum)
