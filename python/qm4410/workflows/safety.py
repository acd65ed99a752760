"""Switching the output off when it matters that it is off."""

import time

from .driver import Driver

SWITCH_OFF_ATTEMPTS = 3
SWITCH_OFF_WITHIN_S = 2.0


def switch_off(driver: Driver) -> bool:
    """Switch the output off and read the status back to be sure.

    Tries up to three times, and starts no new try two seconds after the
    first; an error of the port counts as a failed try, so this never
    raises for the line's sake. True only when a status read showed the
    output off."""
    deadline = time.monotonic() + SWITCH_OFF_WITHIN_S
    for _ in range(SWITCH_OFF_ATTEMPTS):
        try:
            # Read even when the command went unanswered: a lost reply
            # does not mean a lost command.
            driver.set_ouput_mode("off")
            record = driver.read_dev_status()
        except OSError:  # pyserial's errors are OSErrors too
            record = None
        if record is not None and record["out_status"] == "off":
            return True
        if time.monotonic() >= deadline:
            break
    return False
