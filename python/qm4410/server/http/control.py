"""What a page may ask of the supply, and how it is carried out: through
the guard, as every door's requests are, so that its limits, slew rates
and trips hold and its watchdog hears each one. A refusal is told in the
guard's own words."""

import logging
import numbers
from collections.abc import Callable
from typing import Any

from ...supply.errors import SupplyError
from ...supply.guard import Guard
from ...supply.setpoints import Quantity
from ..errors import SupplyGone

log = logging.getLogger("qm4410.serve")

# A set-point's name in a request, and what it sets.
SET_POINTS: dict[str, Quantity] = {"voltage": "voltage", "current": "current"}


class Malformed(ValueError):
    """A message that is no request a page can make."""


def request_of(message: dict[str, Any]) -> Callable[[Guard, str], None]:
    """What `message` (a control request, decoded) asks for, checked for its
    form alone: a call that carries it out through a guard for a client
    (named for the log), raising with the refusal's words. Malformed when
    it is no such request."""
    kind = message.get("type")
    if kind == "set":
        quantity = SET_POINTS.get(message.get("quantity"))  # type: ignore[arg-type]
        value = message.get("value")
        if quantity is None:
            raise Malformed(f"a set names the voltage or the current, not {message.get('quantity')!r}")
        if isinstance(value, bool) or not isinstance(value, numbers.Real):
            raise Malformed(f"a set-point is a number, not {value!r}")
        return lambda guard, client: _set_point(guard, quantity, float(value), client)
    if kind == "output":
        on = message.get("on")
        if not isinstance(on, bool):
            raise Malformed(f"the output is switched on with true and off with false, not {on!r}")
        return lambda guard, client: _switch(guard, on, client)
    if kind == "clear":
        return _clear
    raise Malformed(f"no request is of the type {kind!r}")


def refusal_words(refused: Exception) -> str:
    """A refusal as a page shows it."""
    return str(refused) or type(refused).__name__


# The requests, carried out on a worker thread (each may wait for the supply).


def _set_point(guard: Guard, quantity: Quantity, value: float, client: str) -> None:
    """Through the core's rule and the guard's bound, then at once or as
    the guard's ramp, which goes on after this returns."""
    units = guard.checked(quantity, value)
    guard.send_units(quantity, units, wait=False)
    log.debug("%s set the %s to %s", client, quantity, value)


def _switch(guard: Guard, on: bool, client: str) -> None:
    """The output off, or on only while no trip is latched (checked as it is
    sent: see Guard.switching_on); with soft start, once it is on at 0 V."""
    guard.set_output(on, wait=False)
    log.debug("%s switched the output %s", client, "on" if on else "off")


def _clear(guard: Guard, client: str) -> None:
    """The guard's trip cleared, for every client; the log says who did."""
    trip = guard.trip
    if trip is not None:
        log.info("%s clears the %s trip", client, trip.name)
    guard.clear()


def carried_out(request: Callable[[Guard, str], None], guard: Guard, client: str) -> str | None:
    """`request` carried out: None, or the refusal's words."""
    try:
        request(guard, client)
    except (SupplyError, SupplyGone, ValueError, TypeError, OverflowError) as refused:
        log.info("%s: refused: %s", client, refusal_words(refused))
        return refusal_words(refused)
    return None
