"""Time within a workflow: moments counted from its start on the monotonic
clock, and waits for them that a stop request can cut short."""

import time
from collections.abc import Callable

# How often a wait looks at the stop request. A wait ends at its moment,
# not at the next tick: its last sleep is only what remains.
TICK_S = 0.01


class Clock:
    def __init__(self) -> None:
        self.start = time.monotonic()

    def elapsed(self) -> float:
        return time.monotonic() - self.start

    def wait_until(self, offset_s: float, stopped: Callable[[], bool]) -> bool:
        """Sleep until `offset_s` after the start; False when a stop was
        requested first. A moment already past returns at once, so a
        schedule that fell behind catches up instead of drifting."""
        moment = self.start + offset_s
        while (remaining := moment - time.monotonic()) > 0:
            if stopped():
                return False
            time.sleep(min(remaining, TICK_S))
        return not stopped()

    def wait(self, seconds: float, stopped: Callable[[], bool]) -> bool:
        """Sleep for `seconds` from now; False when a stop was requested."""
        return self.wait_until(self.elapsed() + seconds, stopped)
