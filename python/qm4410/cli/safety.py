"""What qm4410.server still imports from the command to switch the output
off: it goes once the server switches off through the supply core itself."""

import sys

from qm4410.supply.face import link_of
from qm4410.supply.link import Driver
from qm4410.supply.switch_off import CONFIRMED, still_on_message, switch_off as switch_link_off

__all__ = ["still_on_message", "switch_off"]


def switch_off(driver: Driver) -> str | None:
    """The confirmed switch-off, told on standard error: the output state
    last read back, "off" once confirmed."""
    state = switch_link_off(link_of(driver))
    if state == "off":
        print(CONFIRMED, file=sys.stderr)
    return state
