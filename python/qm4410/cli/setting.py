"""The `set` subcommand: apply settings in a safe order and check them."""

import sys
from typing import NoReturn

from . import render
from .exits import CommandError, Exit
from .queries import read_status
from .session import connected

# The supply resolves 1 mV and 1 mA: the driver truncates each set-point to
# whole millivolts or milliamperes, so a read-back may lag the request by
# up to (but not including) one unit.
RESOLUTION = 0.001
ROUNDING_SLACK = 1e-9

# option attribute -> (option as typed, driver method, status-record key)
SETTINGS = {
    "mode": ("--mode", "set_work_mode", "work_mode"),
    "max_voltage": ("--max-voltage", "set_voltage_max", "voltage_max_set"),
    "voltage": ("--voltage", "set_out_voltage", "voltage_set"),
    "current": ("--current", "set_out_current", "current_set"),
    "output": ("--output", "set_ouput_mode", "out_status"),
}


def requested_settings(args) -> list[tuple[str, object]]:
    """The given settings in the order they are safe to apply: remote
    control before anything else, the maximum voltage before the voltage it
    caps, the output after its set-points, and local control last."""
    order = ["max_voltage", "voltage", "current", "output"]
    if args.mode == "remote":
        order.insert(0, "mode")
    else:
        order.append("mode")
    return [(name, getattr(args, name)) for name in order if getattr(args, name) is not None]


def apply_settings(args) -> int:
    settings = requested_settings(args)  # never empty: the command line has been checked
    with connected(args) as driver:
        unanswered = _first_unanswered(driver, settings)
        if unanswered is not None:
            _fail_unanswered(driver, settings, unanswered)
        record = read_status(driver)
    print(render.status_table(record))
    disagreements = []
    for name, value in settings:
        option, _, key = SETTINGS[name]
        if not agrees(value, record[key]):
            disagreements.append(f"{option} {value} reads back as {render.reading(key, record[key])}")
    warnings = supply_warnings(record)
    for warning in warnings:
        print(f"qm4410: warning: {warning}", file=sys.stderr)
    if disagreements:
        raise CommandError(Exit.SETTING_FAILED, "the supply did not take every setting: " + "; ".join(disagreements))
    return Exit.SUPPLY_WARNS if warnings else 0


def supply_warnings(record: dict) -> list[str]:
    """What the read-back shows that the settings alone do not: an output
    held below its set-point by the maximum voltage, or over-temperature."""
    warnings = []
    if record["voltage_set"] > record["voltage_max_set"]:
        warnings.append(
            f"the voltage set, {render.reading('voltage_set', record['voltage_set'])}, is above the maximum "
            f"voltage: the output is held at {render.reading('voltage_max_set', record['voltage_max_set'])} at most"
        )
    if record["beyond_temp"]:
        warnings.append("the supply reports over-temperature")
    return warnings


def _fail_unanswered(driver, settings, unanswered) -> NoReturn:
    # After a setting without a reply the status may go unanswered too (a
    # late reply holds back the next): show it if it came, but what matters
    # is the setting, so do not fail on the status instead.
    record = driver.read_dev_status()
    if record is not None:
        print(render.status_table(record))
    skipped = settings[settings.index(unanswered) + 1 :]
    message = _unanswered_message(unanswered, skipped)
    if record is None:
        message += "; the status read after it got no reply either"
    raise CommandError(Exit.SETTING_FAILED, message)


def _first_unanswered(driver, settings):
    """Stop at the first setting without a reply: switching the output on
    after a set-point that may not have arrived would be unsafe."""
    for name, value in settings:
        if not getattr(driver, SETTINGS[name][1])(value):
            return name, value
    return None


def _unanswered_message(unanswered, skipped) -> str:
    name, value = unanswered
    message = f"{SETTINGS[name][0]} {value} got no reply from the supply"
    if skipped:
        message += "; not sent after it: " + ", ".join(f"{SETTINGS[n][0]} {v}" for n, v in skipped)
    return message


def agrees(requested, read_back) -> bool:
    if isinstance(requested, str):
        return requested == read_back
    return abs(requested - read_back) < RESOLUTION + ROUNDING_SLACK
