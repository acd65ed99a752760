"""Entry point of the qm4410 command: parse, run, turn failures into exits."""

import os
import signal
import sys

import serial

from .arguments import build_parser
from .failures import FILE_ERROR, INTERRUPTED, LINE_LOST, TERMINATED


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    if "sim" in args and not (args.sim or args.port):
        parser.error("give --port PORT or --sim (or set QM4410_PORT)")
    previous = signal.signal(signal.SIGTERM, _terminate)
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
        if error.filename and not isinstance(error, serial.SerialException):
            print(f"qm4410: error: {error.filename}: {error.strerror}", file=sys.stderr)
            return FILE_ERROR
        # An unplugged adapter shows up as a serial error or, from pyserial's
        # ioctl calls, as a bare OSError.
        print(f"qm4410: error: lost the line to the supply: {error}", file=sys.stderr)
        return LINE_LOST
    finally:
        signal.signal(signal.SIGTERM, previous)


def _terminate(signum, frame):
    """SIGTERM ends the command like an error would, so that every cleanup
    on the way out (closing the port, stopping the simulator) still runs."""
    raise SystemExit(TERMINATED)
