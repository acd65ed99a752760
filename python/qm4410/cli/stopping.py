"""Stopping a long run between two steps rather than in the middle of one:
Ctrl-C, SIGTERM and a hang-up are noted, and the run looks at the note."""

import contextlib
import signal
from collections.abc import Iterator

from . import console
from .exits import ending_signals


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

    def note(self, signum, frame) -> None:
        if signum == getattr(signal, "SIGHUP", None):
            console.note_hang_up()
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
