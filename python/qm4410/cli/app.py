"""Entry point of the qm4410 command: parse, run, and turn whatever ended the
run into its one line on standard error and the exit status."""

import contextlib
import errno
import os
import signal
import sys
from collections.abc import Iterator

import serial

from . import console
from .arguments import parse
from .exits import CommandError, Ending, Exit, Stopped, ending_signals

# What reading or writing a serial device that has gone (an unplugged
# adapter, a closed pseudo-terminal) fails with, from pyserial's ioctl calls.
VANISHED_DEVICE = (errno.EIO, errno.ENXIO, errno.ENODEV)


def main(argv: list[str] | None = None) -> int:
    args = parse(argv)
    with console.guarded(args.verbose), _signals_end_the_command():
        try:
            return args.run(args)
        except BaseException as error:
            ending = _ending_of(error)
            if ending is None:
                raise
            if ending.message:
                print(ending.line(), file=sys.stderr)
            return ending.status


def _ending_of(error: BaseException) -> Ending | None:
    """The exit that `error` stands for; None for a fault of the command itself."""
    if isinstance(error, Ending):
        return error
    if isinstance(error, KeyboardInterrupt):
        return Stopped(signal.SIGINT)
    if isinstance(error, BrokenPipeError):
        # The reader (say, `head`) has gone: stop quietly, and keep Python
        # from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return Ending(0, "")
    if isinstance(error, OSError):
        if isinstance(error, serial.SerialException) or error.errno in VANISHED_DEVICE:
            return CommandError(Exit.LINE_LOST, f"lost the line to the supply: {error}")
        if error.filename:
            return CommandError(Exit.FILE_ERROR, f"{error.filename}: {error.strerror}")
    return None


@contextlib.contextmanager
def _signals_end_the_command() -> Iterator[None]:
    """SIGTERM, a hang-up (and Ctrl-Break on Windows) end the command as an
    error would, so that every cleanup on the way out (closing the port,
    stopping the simulator) still runs. Ctrl-C does so already."""
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


def _terminate(signum, frame):
    if signum == getattr(signal, "SIGHUP", None):
        console.note_hang_up()
    raise Stopped(signum)
