"""What an EPICS prefix may be, and the names of a supply's PVs under
it: checked where the endpoint is asked for (and across a rack's
supplies, which share one Channel Access server), without caproto, which
only serving needs."""

import dataclasses

from ...supply.guard import Rules

# The characters of an EPICS record name, of which a prefix is the start.
NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+:[]<>;.{}")
# What follows the prefix in each PV's name (pvs.py makes them): the
# set-points, the readings, the trip, the link and the guard's rules.
SUFFIXES = (
    *("VOLT_SP", "CURR_SP", "MAX_VOLT_SP", "OUT_SP", "REMOTE_SP", "TRIP_CLEAR"),
    *("VOLT_RBV", "CURR_RBV", "MAX_VOLT_RBV", "OUT_RBV", "VOLT_MEAS", "CURR_MEAS", "POWER_MEAS"),
    *("MODE_RBV", "OVERTEMP_RBV", "FAN_RBV", "REMOTE_RBV"),
    *("TRIP_RBV", "TRIP_REASON", "CONNECTED", "IDN"),
    *(field.name.upper() for field in dataclasses.fields(Rules)),
)


def checked_prefix(prefix: str) -> str:
    """`prefix` if it can start an EPICS name, else ValueError."""
    wrong = sorted(set(prefix) - NAME_CHARACTERS)
    if not prefix or wrong:
        raise ValueError(
            f"the EPICS prefix {prefix!r} must be one or more of letters, digits and _-+:[]<>;.{{}}"
            + (f", not {''.join(wrong)!r}" if wrong else "")
        )
    return prefix


def pv_names(prefix: str) -> frozenset[str]:
    """The name of every PV of a supply served under `prefix`."""
    return frozenset(prefix + suffix for suffix in SUFFIXES)


def shared_name(prefix: str, other: str) -> str | None:
    """A PV name that two supplies served under `prefix` and `other` would
    both have (the first in order), or None when they have none in common:
    one prefix and another that starts with it may (LAB: and LAB:MAX_ both
    name LAB:MAX_VOLT_SP)."""
    return min(pv_names(prefix) & pv_names(other), default=None)
