"""One supply's readings as its pages see them: each reading made into one
message, once, for every page; kept in a history of bounded length for the
pages' plots; and handed to each open page through a slot of its own that
holds the latest message alone, so that a page that reads slowly skips
readings rather than holding up the others or piling them up.

Everything here runs on the site's event loop."""

import asyncio
import collections
import dataclasses
import json
import time
from typing import Any

from ...supply.guard import Guard
from ...supply.setpoints import Quantity, from_units
from ...supply.status import Status
from ..endpoints import identification
from ..errors import SupplyGone
from ..held_supply import HeldSupply

# The plot's span, and at most one point of it every HISTORY_EVERY_S (half
# the guard's interval, so that readings that come a little early are
# kept): the history is bounded whatever pace the readings come at.
HISTORY_S = 300.0
HISTORY_EVERY_S = 0.05
HISTORY_POINTS = int(HISTORY_S / HISTORY_EVERY_S)
# A page is sent ten messages a second at most, on average: readings that
# come at that pace are each sent at once, however their times jitter, and
# those that come faster are skipped, the latest kept.
PUSH_EVERY_S = 0.1
PUSH_BURST = 2
QUANTITIES: tuple[Quantity, ...] = ("voltage", "current")


class Slot:
    """One open page's next message: a newer one replaces it unsent."""

    def __init__(self) -> None:
        self._message: str | None = None
        self._ready = asyncio.Event()

    def offer(self, message: str) -> None:
        self._message = message
        self._ready.set()

    async def next(self) -> str:
        await self._ready.wait()
        self._ready.clear()
        message, self._message = self._message, None
        assert message is not None
        return message


class Pacer:
    """Sends allowed one every PUSH_EVERY_S on average, PUSH_BURST at once
    at most (a bucket of that many, refilled at that pace)."""

    def __init__(self) -> None:
        self._allowed = float(PUSH_BURST)
        self._since = time.monotonic()

    async def ready(self) -> None:
        """Once a send is allowed; it is taken."""
        now = time.monotonic()
        self._allowed = min(PUSH_BURST, self._allowed + (now - self._since) / PUSH_EVERY_S)
        self._since = now
        if self._allowed < 1:
            await asyncio.sleep((1 - self._allowed) * PUSH_EVERY_S)
            self._allowed, self._since = 1.0, time.monotonic()
        self._allowed -= 1


@dataclasses.dataclass
class Counts:
    """The readings heard since the page was served, and how many of them
    the supply did not answer."""

    readings: int = 0
    unanswered: int = 0


class Feed:
    """The readings of the supply `supply`, named `name`, kept by `guard`,
    for its pages."""

    def __init__(self, name: str, supply: HeldSupply, guard: Guard) -> None:
        self.name = name
        self.supply = supply
        self.guard = guard
        self.counts = Counts()
        self.latest: Status | None = None
        self.heard = False  # whether any reading has come yet
        self._latest_at = 0.0
        self._history: collections.deque[tuple[float, float, float, float]] = collections.deque(maxlen=HISTORY_POINTS)
        self._slots: set[Slot] = set()

    def join(self) -> Slot:
        """A slot for a page that opens, which gets every message from now."""
        slot = Slot()
        self._slots.add(slot)
        return slot

    def leave(self, slot: Slot) -> None:
        self._slots.discard(slot)

    @property
    def pages(self) -> int:
        return len(self._slots)

    def take(self, status: Status | None, at: float) -> None:
        """A reading taken at `at` (time.time()): counted, kept, and offered
        to every open page."""
        self.counts.readings += 1
        self.counts.unanswered += status is None
        self.latest, self._latest_at, self.heard = status, at, True
        history = self._history
        if status is not None and (not history or at - history[-1][0] >= HISTORY_EVERY_S):
            history.append((at, status.measured_voltage, status.measured_current, status.power))
        while history and history[0][0] < at - HISTORY_S:
            history.popleft()
        self.publish()

    def publish(self) -> None:
        """The latest reading, with the guard's state as it is now, offered
        to every open page (as after a page's request has changed that)."""
        if not self._slots:
            return
        message = json.dumps(self.reading())
        for slot in self._slots:
            slot.offer(message)

    def reading(self) -> dict[str, Any]:
        """The latest reading as a page is sent it: what the supply reported
        (None while it does not answer) and the guard's state."""
        status, guard = self.latest, self.guard
        trip = guard.trip
        return {
            "type": "reading",
            "at": self._latest_at or time.time(),
            "connected": status is not None,
            "status": None if status is None else {**dataclasses.asdict(status), "power": status.power},
            "trip": None
            if trip is None
            else {"name": trip.name, "reason": trip.reason, "output": trip.output_left, "at": trip.at},
            "ramping": {quantity: guard.ramping(quantity) for quantity in QUANTITIES},
            "bounds": {quantity: _bound(guard, quantity) for quantity in QUANTITIES},
        }

    def hello(self, control: bool, controllable: bool) -> dict[str, Any]:
        """What a page is told once it opens: who the supply is, the guard's
        rules and slew rates in force, whether it may control the supply
        (and whether the server lets any page), the plot's history and the
        latest reading."""
        try:
            identity: str | None = identification(self.supply.identity())
        except SupplyGone:
            identity = None
        rules = self.guard.rules
        return {
            "type": "hello",
            "name": self.name,
            "port": self.supply.port,
            "identity": identity,
            "control": control,
            "controllable": controllable,
            "rules": {field.name: getattr(rules, field.name) for field in dataclasses.fields(rules)},
            "units": type(rules).UNITS,
            "slew": {quantity: self.guard.slew_rate(quantity) for quantity in QUANTITIES},
            "history_s": HISTORY_S,
            "history_points": HISTORY_POINTS,
            "history": [[round(at, 3), v, i, round(p, 6)] for at, v, i, p in self._history],
            "reading": self.reading() if self.heard else None,
        }


def _bound(guard: Guard, quantity: Quantity) -> float | None:
    """The highest set-point the guard lets through, in V or A; None where
    nothing bounds it but what the supply can be sent."""
    bound = guard.bound(quantity)
    return from_units(bound.units) if bound.known else None
