"""What reaches the person at the terminal: the command's own lines, and
the driver's.

A terminal that closes (its window shut, the ssh connection dropped) hangs
up: every later write to it fails. Those failures must not cost the run
what it still has to do (switch the output off, draw the plot, end with
its status), so from the hang-up on they are dropped.
"""

import contextlib
import errno
import os
import sys
from collections.abc import Iterator
from typing import Any, TextIO

import qm4410

_hung_up = False


def note_hang_up() -> None:
    """Called from signal handlers: it only assigns."""
    global _hung_up
    _hung_up = True


class HangUpProof:
    """A text stream whose write errors after a hang-up are dropped.

    A write can fail before the handler of SIGHUP has run; EIO is what a
    terminal that has gone fails with, so it counts as the hang-up itself.
    """

    def __init__(self, stream: TextIO) -> None:
        self._stream = stream

    def write(self, text: str) -> int:
        try:
            return self._stream.write(text)
        except OSError as error:
            self._gone(error)
            return len(text)

    def flush(self) -> None:
        try:
            self._stream.flush()
        except OSError as error:
            self._gone(error)

    def _gone(self, error: OSError) -> None:
        if not (_hung_up or error.errno == errno.EIO):
            raise error
        note_hang_up()
        # Whatever is still buffered, and everything after, goes nowhere,
        # so that the interpreter's own flush at exit cannot fail either.
        with contextlib.suppress(OSError, ValueError):
            nowhere = os.open(os.devnull, os.O_WRONLY)
            try:
                os.dup2(nowhere, self._stream.fileno())
            finally:
                os.close(nowhere)

    def __getattr__(self, name: str) -> Any:
        return getattr(self._stream, name)


def _trace(*values: object) -> None:
    print("qm4410: driver:", *values, file=sys.stderr)


def _dropped(*values: object) -> None:
    pass


@contextlib.contextmanager
def guarded(verbose: bool) -> Iterator[None]:
    """Standard output and error that outlive a hang-up, and the driver's
    printed lines (its replies, its reasons for refusing a port) kept off
    standard output: a trace on standard error with -v, else dropped. The
    driver prints through its module's global `print`, looked up at each
    call; what it says when open() refuses reaches the command through the
    ConnectionError of the with statement instead."""
    streams = sys.stdout, sys.stderr
    module = vars(qm4410)
    driver_print = module.get("print")
    sys.stdout, sys.stderr = HangUpProof(sys.stdout), HangUpProof(sys.stderr)  # type: ignore[assignment]
    module["print"] = _trace if verbose else _dropped
    try:
        yield
    finally:
        if driver_print is None:
            del module["print"]
        else:
            module["print"] = driver_print
        sys.stdout, sys.stderr = streams
