"""Where a page's readings come from: the one reading of the supply that
every door shares, to which a page subscribes. Today that is the guard's
watch (it reads the status at its interval while anyone listens); a source
that feeds its listeners the same way takes its place here alone."""

from collections.abc import Callable
from typing import Protocol

from ...supply.guard import Guard
from ...supply.status import Status

# Called with each reading (None: the supply did not answer it), from the
# source's own thread: it must not block.
Listener = Callable[[Status | None], object]


class Readings(Protocol):
    """The shared readings of one supply."""

    def subscribe(self, listener: Listener) -> Callable[[], None]:
        """Call `listener` with every reading from now on; returns what
        stops it."""
        ...


class GuardReadings:
    """The guard's readings, taken at its interval while a subscriber is
    there: the same readings that feed its trips and the EPICS PVs."""

    def __init__(self, guard: Guard) -> None:
        self._guard = guard

    def subscribe(self, listener: Listener) -> Callable[[], None]:
        return self._guard.add_listener(listener, reads=True)


def readings_of(guard: Guard) -> Readings:
    """The shared readings of the supply that `guard` keeps."""
    return GuardReadings(guard)
