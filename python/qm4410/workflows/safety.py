"""Switching the output off when it matters that it is off.

A request to switch it off can go unanswered although the supply obeyed,
or be lost on the way; only the status read back tells which. So the
request is repeated, within a bounded time, until the status says off.
"""

import time

from .driver import Driver

SWITCH_OFF_WITHIN_S = 5.0
MOST_EXCHANGES = 8


def switch_off(driver: Driver) -> str | None:
    """Switch the output off and read the status back until it says so.

    Returns the output state last read back: "off" once confirmed, "on"
    when the supply still reports it on, None when no status came back.
    An error of the port counts as no answer, so this never raises for the
    line's sake: the reason a run ended is not hidden behind it.
    """
    deadline = time.monotonic() + SWITCH_OFF_WITHIN_S
    state = None
    send = True
    exchanges = 0
    try:
        while exchanges < MOST_EXCHANGES and time.monotonic() < deadline:
            if send:
                # Its reply alone proves nothing either way: the status does.
                driver.set_ouput_mode("off")
                exchanges += 1
            record = driver.read_dev_status()
            exchanges += 1
            if record is None:
                send = False  # ask for the status again before sending again
                continue
            state = record["out_status"]
            if state == "off":
                return state
            send = True
    except OSError:  # pyserial's errors are OSErrors too
        pass
    return state
