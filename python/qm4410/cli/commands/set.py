"""`qm4410 set`: apply settings in a safe order, then read them back."""

import argparse
import sys
import time
from typing import Any, NamedTuple, NoReturn

from qm4410.supply import NoReply, Status, Supply, Tripped
from qm4410.supply.supply_like import SupplyLike
from qm4410.supply.switch_off import CONFIRMED

from .. import guard, port, render
from ..exits import CommandError, Ending, Exit
from ..terminal import ProgressLine
from ..values import quantity
from . import Commands, Parents

# The supply resolves 1 mV and 1 mA: each set-point goes out truncated to
# whole millivolts or milliamperes, so a read-back may lag the request by
# up to (but not including) one unit.
RESOLUTION = 0.001
ROUNDING_SLACK = 1e-9
# A set-point that a server moves at its slew rate (which a client of it
# cannot ask) is read back until it arrives: every READ_EVERY_S, for as
# long as it keeps moving (it moves at least every STILL_S at any sensible
# rate), and no longer than its distance takes at the slowest sensible rate.
READ_EVERY_S = 0.2
STILL_S = 2.0
SLOWEST_RATE = {"voltage": 0.1, "current": 0.01}  # V/s, A/s


class Setting(NamedTuple):
    option: str  # as typed
    attribute: str  # the qm4410.Supply property that sends it
    key: str  # its entry in the status record


SETTINGS = {
    "mode": Setting("--mode", "remote", "work_mode"),
    "max_voltage": Setting("--max-voltage", "max_voltage", "voltage_max_set"),
    "voltage": Setting("--voltage", "voltage", "voltage_set"),
    "current": Setting("--current", "current_limit", "current_set"),
    "output": Setting("--output", "output", "out_status"),
}
# The words --mode and --output take, as the properties take them.
SWITCHES = {"remote": True, "local": False, "on": True, "off": False}


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "set",
        parents=parents,
        help="apply settings, then read them back",
        description="Apply the given settings (remote control first, output last), read the "
        "status back and exit non-zero when a setting got no reply or reads back otherwise, "
        "or when the supply warns (output held at the maximum voltage, over-temperature). "
        "Every value is checked against what the supply can be sent before anything is sent. With a slew "
        "rate, a set-point moves at that rate and the command waits until it has arrived.",
    )
    command.add_argument(
        "--max-voltage",
        type=quantity("voltage", "the maximum voltage"),
        metavar="V",
        help="highest output voltage, volts",
    )
    command.add_argument(
        "--voltage", type=quantity("voltage", "the voltage"), metavar="V", help="output voltage, volts"
    )
    command.add_argument(
        "--current", type=quantity("current", "the current limit"), metavar="A", help="current limit, amperes"
    )
    command.add_argument("--output", choices=("on", "off"), help="switch the output")
    command.add_argument(
        "--mode", choices=("remote", "local"), help="remote (this host) or local (front panel) control"
    )
    guard.add_options(command)
    command.set_defaults(run=run, problem=problem)


def problem(args: argparse.Namespace) -> str | None:
    if not requested(args):
        return "nothing to set: give --max-voltage, --voltage, --current, --output or --mode"
    return None


def requested(args: argparse.Namespace) -> list[tuple[str, Any]]:
    """The given settings in the order they are safe to apply: remote
    control before anything else, the maximum voltage before the voltage it
    caps, the output after its set-points, and local control last."""
    order = ["max_voltage", "voltage", "current", "output"]
    if args.mode == "remote":
        order.insert(0, "mode")
    else:
        order.append("mode")
    return [(name, getattr(args, name)) for name in order if getattr(args, name) is not None]


def run(args: argparse.Namespace) -> int:
    settings = requested(args)  # never empty: the command line has been checked
    with port.opened(args) as supply, guard.guarded(args, supply) as target:
        carried_out = _apply(settings, target, supply)
        trip = target.last_check()
        if trip is not None:
            guard.confirmed_off(trip, supply)
        status = _read_back(supply, settings[:carried_out])
    record: dict[str, Any] = status.record()
    print(render.status_table(status))
    warnings = supply_warnings(record)
    for warning in warnings:
        print(f"qm4410: warning: {warning}", file=sys.stderr)
    if trip is not None:
        cut_short = ", ".join(f"{SETTINGS[name].option} {value}" for name, value in settings[carried_out:])
        raise Ending(Exit.TRIPPED, f"{trip}; {CONFIRMED}" + (f"; not carried out: {cut_short}" if cut_short else ""))
    disagreements = []
    for name, value in settings:
        option, attribute, key = SETTINGS[name]
        if not agrees(value, record[key]):
            disagreements.append(f"{option} {value} reads back as {render.reading(attribute, record[key])}")
    if disagreements:
        raise CommandError(Exit.SETTING_FAILED, "the supply did not take every setting: " + "; ".join(disagreements))
    return Exit.SUPPLY_WARNS if warnings else Exit.OK


def _apply(settings: list[tuple[str, Any]], target: SupplyLike, supply: Supply) -> int:
    """Send the settings in turn; how many were carried out before a trip of
    the guard refused one or cut it short (all of them without a trip)."""
    for done, (name, value) in enumerate(settings):
        try:
            setattr(target, SETTINGS[name].attribute, SWITCHES.get(value, value))
        except NoReply:
            # Switching the output on after a set-point that may not
            # have arrived would be unsafe: nothing more is sent.
            _fail_unanswered(supply, settings[done:])
        except Tripped:
            return done
    return len(settings)


def _read_back(supply: Supply, settings: list[tuple[str, Any]]) -> Status:
    """The status once the set-points among `settings` read back as asked,
    or have stopped moving towards it: a server with a slew rate answers a
    set-point at once and then moves it at the rate. A line of progress
    tells where they stand meanwhile."""
    status = supply.status()
    record: dict[str, Any] = status.record()
    started = last_moved = time.monotonic()
    longest = STILL_S + max(
        (abs(value - record[key]) / SLOWEST_RATE[name] for name, key, value in _on_the_way(settings, record)),
        default=0.0,
    )
    progress = ProgressLine()
    try:
        while away := _on_the_way(settings, record):
            now = time.monotonic()
            if now - last_moved > STILL_S or now - started > longest:
                break
            progress.say(
                "; ".join(
                    f"{render.reading(SETTINGS[name].attribute, record[key])} on its way to "
                    f"{render.reading(SETTINGS[name].attribute, value)}"
                    for name, key, value in away
                )
            )
            time.sleep(READ_EVERY_S)
            status = supply.status()
            before, record = record, status.record()
            if any(record[key] != before[key] for _, key, _ in away):
                last_moved = time.monotonic()
    finally:
        progress.clear()
    return status


def _on_the_way(settings: list[tuple[str, Any]], record: dict[str, Any]) -> list[tuple[str, str, float]]:
    """The set-points among `settings` that a slew rate may still be moving
    towards what was asked: each setting's name, status key and value."""
    return [
        (name, SETTINGS[name].key, value)
        for name, value in settings
        if name in SLOWEST_RATE and not agrees(value, record[SETTINGS[name].key])
    ]


def supply_warnings(record: dict[str, Any]) -> list[str]:
    """What the read-back shows that the settings alone do not: an output
    held below its set-point by the maximum voltage, or over-temperature."""
    warnings = []
    if record["voltage_set"] > record["voltage_max_set"]:
        warnings.append(
            f"the voltage set, {render.reading('voltage', record['voltage_set'])}, is above the maximum "
            f"voltage: the output is held at {render.reading('max_voltage', record['voltage_max_set'])} at most"
        )
    if record["beyond_temp"]:
        warnings.append("the supply reports over-temperature")
    return warnings


def _fail_unanswered(supply: Supply, unsent: list[tuple[str, Any]]) -> NoReturn:
    """The first of `unsent` got no reply; the rest was not sent."""
    # After a setting without a reply the status may go unanswered too (a
    # late reply holds back the next): show it if it came, but what matters
    # is the setting, so do not fail on the status instead.
    status = supply.link.read_status()
    if status is not None:
        print(render.status_table(status))
    (name, value), *skipped = unsent
    message = f"{SETTINGS[name].option} {value} got no reply from the supply"
    if skipped:
        message += "; not sent after it: " + ", ".join(f"{SETTINGS[n].option} {v}" for n, v in skipped)
    if status is None:
        message += "; the status read after it got no reply either"
    raise CommandError(Exit.SETTING_FAILED, message)


def agrees(requested: float | str, read_back: float | str) -> bool:
    if isinstance(requested, str) or isinstance(read_back, str):
        return requested == read_back
    return abs(requested - read_back) < RESOLUTION + ROUNDING_SLACK
