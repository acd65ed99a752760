"""Leaving the supply safe, and saying how it was left."""

import sys

from qm4410 import workflows


def switch_off(driver) -> str | None:
    """workflows.switch_off(), told on standard error: the output state
    last read back, "off" once confirmed."""
    state = workflows.switch_off(driver)
    if state == "off":
        print("output switched off", file=sys.stderr)
    return state


def still_on_message(state: str | None) -> str:
    """What to tell when switch_off() ended with `state` short of "off"."""
    if state == "on":
        return "the output is still on: the supply kept reporting it on; switch it off at the supply"
    return (
        "the output may still be on: the supply did not confirm switching it off "
        "(no status came back); check the supply"
    )
