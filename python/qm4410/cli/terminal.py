"""What the person at the terminal sees and does: the command's streams,
which outlive a closed terminal; the trace of -v; the line of progress of a
long run; and the stop requests (Ctrl-C, SIGTERM, a hang-up) that end a run
between two exchanges.

A terminal that closes (its window shut, the ssh connection dropped) hangs
up: every later write to it fails. Those failures must not cost the run
what it still has to do (switch the output off, draw the plot, end with
its status), so from the hang-up on they are dropped.
"""

import contextlib
import errno
import logging
import os
import signal
import sys
import threading
from collections.abc import Callable, Iterator
from types import FrameType
from typing import Any, TextIO

from qm4410.workflows import Progress

from . import render
from .exits import ending_signals

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


# pyserial's RFC 2217 client reads its connection in a thread of its own,
# which dies of a connection that breaks (a server that hangs up on a second
# client, one that is stopped) with a traceback. The driver's next use of the
# port reports the same failure, and the command tells it as such.
_READER_THREAD = "pySerial RFC 2217 reader thread"

ThreadHook = Callable[[threading.ExceptHookArgs], Any]


def _quiet_about_lost_connections(hook: ThreadHook) -> ThreadHook:
    def excepthook(args: threading.ExceptHookArgs) -> None:
        thread_name = args.thread.name if args.thread is not None else ""
        if not (thread_name.startswith(_READER_THREAD) and issubclass(args.exc_type, OSError)):
            hook(args)

    return excepthook


# The supply core logs every exchange here, at DEBUG: -v shows it.
TRACE_FORMAT = "qm4410: driver: %(message)s"


@contextlib.contextmanager
def console(verbose: bool) -> Iterator[None]:
    """Standard output and error that outlive a hang-up; with `verbose`,
    the supply core's log (a line per exchange, with what the driver said)
    on standard error as a trace. A connection lost under pyserial's
    RFC 2217 client costs no traceback."""
    streams = sys.stdout, sys.stderr
    thread_hook = threading.excepthook
    threading.excepthook = _quiet_about_lost_connections(thread_hook)
    sys.stdout, sys.stderr = HangUpProof(sys.stdout), HangUpProof(sys.stderr)
    with _trace(verbose):
        try:
            yield
        finally:
            sys.stdout, sys.stderr = streams
            threading.excepthook = thread_hook


@contextlib.contextmanager
def _trace(verbose: bool) -> Iterator[None]:
    """With `verbose`, the core's log on standard error from DEBUG on;
    without, nowhere: the command tells what matters in its own words (a
    guard's trip among them), where Python would print the log's warnings
    bare."""
    log = logging.getLogger("qm4410")
    handler: logging.Handler = logging.NullHandler()
    level = log.level
    if verbose:
        handler = logging.StreamHandler(sys.stderr)
        handler.setFormatter(logging.Formatter(TRACE_FORMAT))
        log.setLevel(logging.DEBUG)
    log.addHandler(handler)
    try:
        yield
    finally:
        log.removeHandler(handler)
        log.setLevel(level)


# Carriage return, then erase to the end of the line.
ERASE = "\r\x1b[K"


class ProgressLine:
    """The line of progress of a long run: step k of n and the time left,
    rewritten in place on a terminal, and nowhere else (a log file or a pipe
    gets the rows alone)."""

    def __init__(self, stream: TextIO | None = None) -> None:
        self._stream = stream if stream is not None else sys.stderr
        self._on = _is_terminal(self._stream)
        self._shown = False

    def show(self, progress: Progress) -> None:
        self.say(f"step {progress.step} of {progress.steps}, {render.duration(progress.time_left_s)} left")

    def say(self, text: str) -> None:
        """Show `text` as the line of progress."""
        if not self._on:
            return
        self._stream.write(ERASE + text)
        self._stream.flush()
        self._shown = True

    def clear(self) -> None:
        """Take the line away, before another line is printed or at the end."""
        if self._shown:
            self._stream.write(ERASE)
            self._stream.flush()
            self._shown = False


def _is_terminal(stream: TextIO) -> bool:
    try:
        return stream.isatty()
    except (AttributeError, ValueError):  # no isatty, or closed
        return False


class StopRequest:
    """The first stop signal received, if any. The handler only assigns an
    attribute: anything that takes a lock (threading.Event.set does) would
    deadlock when a second signal interrupts the first handler, and raising
    from it could cut the switch-off short. Every step of the run is bounded
    by the driver's timeouts, so polling this flag is soon enough."""

    def __init__(self) -> None:
        self.signum: int | None = None

    def __bool__(self) -> bool:
        return self.signum is not None

    def note(self, signum: int, frame: FrameType | None) -> None:
        if signum == getattr(signal, "SIGHUP", None):
            note_hang_up()
        if self.signum is None:  # several may arrive: Ctrl-C under qm4410-sim comes twice
            self.signum = signum


@contextlib.contextmanager
def stop_requests() -> Iterator[StopRequest]:
    """Ctrl-C, SIGTERM and a hang-up (the terminal closed, ssh dropped) end
    the run between two requests rather than in the middle of one (a reply
    cut off there would be taken by the request that switches the output
    off)."""
    stop = StopRequest()
    previous = {sig: signal.signal(sig, stop.note) for sig in ending_signals()}
    try:
        yield stop
    finally:
        # Once stopped by a signal the command only exits: more of them (a
        # key held down) must not break into the interpreter's shutdown.
        for sig, handler in previous.items():
            signal.signal(sig, signal.SIG_IGN if stop else handler)
