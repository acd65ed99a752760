"""Exit statuses of the qm4410 command, and the one way to stop with one."""

import signal
import sys
from typing import NoReturn

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
# The shell's convention for a death by a signal: 128 + its number.
HUNG_UP = 129
INTERRUPTED = 130
TERMINATED = 143
SIGNAL_STATUS = {signal.SIGHUP: HUNG_UP, signal.SIGINT: INTERRUPTED, signal.SIGTERM: TERMINATED}


def fail(status: int, message: str) -> NoReturn:
    """Tell the person what went wrong and end the command with `status`.

    Raising SystemExit (rather than calling os._exit) lets every cleanup on
    the way out run: the port is closed, the output switched off, the
    virtual supply stopped.
    """
    sys.stdout.flush()  # the driver's own lines come first, as they happened
    print(f"qm4410: error: {message}", file=sys.stderr)
    raise SystemExit(status)
