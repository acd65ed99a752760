"""Switching the output off when it matters that it is off.

A request to switch it off can go unanswered although the supply obeyed,
or be lost on the way; only the status read back tells which. So the
request is repeated, within a bounded time, until the status says off.
"""

import time

from .link import Commands

SWITCH_OFF_WITHIN_S = 5.0
MOST_EXCHANGES = 8
CONFIRMED = "output switched off"


def switch_off(link: Commands) -> str | None:
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
                link.set_output(False)
                exchanges += 1
            status = link.read_status()
            exchanges += 1
            if status is None:
                send = False  # ask for the status again before sending again
                continue
            state = "on" if status.output else "off"
            if state == "off":
                return state
            send = True
    except OSError:  # the port's errors, PortGone among them
        pass
    return state


def still_on_message(state: str | None) -> str:
    """What to tell when switch_off() ended with `state` short of "off"."""
    if state == "on":
        return "the output is still on: the supply kept reporting it on; switch it off at the supply"
    return (
        "the output may still be on: the supply did not confirm switching it off "
        "(no status came back); check the supply"
    )


def after_switch_off(why: str, state: str | None) -> str:
    """What ended a run, `why`, and how switch_off() then left the output
    (`state`): one sentence, the same from every door that ends a run."""
    left = "the output was switched off" if state == "off" else still_on_message(state)
    return f"{why}; {left}"
