"""Entry point of the qm4410 command: parse, run, turn failures into exits."""

import errno
import os
import signal
import sys

import serial

from .arguments import build_parser
from .failures import FILE_ERROR, INTERRUPTED, LINE_LOST, SIGNAL_STATUS

# What reading or writing a serial device that has gone (an unplugged
# adapter, a closed pseudo-terminal) fails with, from pyserial's ioctl calls.
VANISHED_DEVICE = (errno.EIO, errno.ENXIO, errno.ENODEV)


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if "sim" in args and not (args.sim or args.port):
        parser.error("give --port PORT or --sim (or set QM4410_PORT)")
    ending = (signal.SIGTERM, signal.SIGHUP)
    previous = {sig: signal.signal(sig, _terminate) for sig in ending}
    try:
        return args.run(args)
    except KeyboardInterrupt:
        print("qm4410: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader (say, `head`) has gone: stop quietly, and keep Python
        # from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except OSError as error:
        if isinstance(error, serial.SerialException) or error.errno in VANISHED_DEVICE:
            print(f"qm4410: error: lost the line to the supply: {error}", file=sys.stderr)
            return LINE_LOST
        if error.filename:
            print(f"qm4410: error: {error.filename}: {error.strerror}", file=sys.stderr)
            return FILE_ERROR
        raise
    finally:
        # A command may have taken a signal over for good (monitor ignores
        # them once it is finishing); only what is still ours goes back.
        for sig, handler in previous.items():
            if signal.getsignal(sig) is _terminate:
                signal.signal(sig, handler)


def _terminate(signum, frame):
    """SIGTERM or a hang-up ends the command like an error would, so that
    every cleanup on the way out (closing the port, stopping the simulator)
    still runs."""
    raise SystemExit(SIGNAL_STATUS[signum])
