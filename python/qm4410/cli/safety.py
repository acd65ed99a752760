"""Leaving the supply safe: the output switched off, and confirmed so.

A request to switch it off can go unanswered although the supply obeyed,
or be lost on the way; only the status read back tells which. So the
command asks again, within a bounded time, until the status says off.
"""

import sys
import time

SWITCH_OFF_WITHIN_S = 5.0
MOST_EXCHANGES = 8


def switch_off(driver) -> str | None:
    """Switch the output off and read the status back until it says so.

    Returns the output state last read back: "off" once confirmed, "on"
    when the supply still reports it on, None when no status came back.
    Reports, never raises an error of the line, so that the reason the run
    ended is not hidden.
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
                print("output switched off", file=sys.stderr)
                return state
            send = True
    except Exception as error:  # the line itself may be what failed
        print(f"qm4410: warning: could not switch the output off: {error}", file=sys.stderr)
    return state


def still_on_message(state: str | None) -> str:
    """What to tell when switch_off() ended with `state` short of "off"."""
    if state == "on":
        return "the output is still on: the supply kept reporting it on; switch it off at the supply"
    return (
        "the output may still be on: the supply did not confirm switching it off "
        "(no status came back); check the supply"
    )
