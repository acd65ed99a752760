"""The guard on the command line: the options of a qm4410.Guard's rules, the
Rules built from them, and a command's supply sent through a Guard when any
is given.

A command that runs once (set, sweep, ramp, run) takes slew rates and trips;
a server, which holds the supply for clients that come and go, takes limits
and a watchdog besides. A one-shot command gets no watchdog: it is the
supply's only client and sends on its own schedule, so a watchdog would trip
on nothing but its own dwells and long profile steps, and how the output is
left once it ends is said by its own options (--leave-on, --off-on-exit). A
client that dies with the output on is what a server's watchdog is for."""

import argparse
import contextlib
import dataclasses
import re
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

from qm4410.supply import Guard, Rules, Supply, SwitchOffFailed, Trip
from qm4410.supply.guard import WATCH_INTERVAL_S
from qm4410.supply.supply_like import SupplyLike
from qm4410.supply.switch_off import after_switch_off

from .exits import CommandError, Exit
from .values import above_zero, quantity


class Option(NamedTuple):
    option: str  # its Rules field is its name in snake case
    kind: Callable[[str], float]
    metavar: str
    help: str


SLEW_AND_TRIPS = (
    Option(
        "--slew-voltage",
        above_zero("the voltage slew rate"),
        "V_PER_S",
        "move the voltage set-point no faster than V_PER_S volts a second: a larger change is carried out as a "
        "ramp at that rate",
    ),
    Option(
        "--slew-current",
        above_zero("the current slew rate"),
        "A_PER_S",
        "move the current limit no faster than A_PER_S amperes a second, as --slew-voltage",
    ),
    Option("--trip-current", above_zero("the trip current"), "A", "trip once the measured current is above A"),
    Option("--trip-power", above_zero("the trip power"), "W", "trip once the measured power is above W"),
    Option(
        "--trip-cc-after",
        above_zero("the constant-current time"),
        "S",
        "trip once the supply has regulated the current (CC) for S seconds in a row",
    ),
)
SERVING = (
    Option(
        "--limit-voltage",
        quantity("voltage", "the voltage limit"),
        "V",
        "refuse any voltage (and maximum voltage) above V, from every client",
    ),
    Option(
        "--limit-current",
        quantity("current", "the current limit's limit"),
        "A",
        "refuse any current limit above A, from every client",
    ),
    Option(
        "--watchdog",
        above_zero("the watchdog time"),
        "S",
        "trip when the output is on and no client has sent anything for S seconds",
    ),
)
# The rules that are switches, each with its help.
SWITCHES = {
    "--trip-overtemp": "trip when the supply reports over-temperature",
    "--soft-start": "switch the output on at 0 V, then ramp the voltage to its set-point at --slew-voltage "
    "(which it needs), rather than stepping it there",
}

# Told in the server's help.
SERVED = (
    "Kept by one guard for every client of every endpoint, SCPI and RFC 2217 alike: set-points move no faster "
    "than a slew rate allows (a larger change is carried out as a ramp at the rate), and a trip switches the "
    "output off, reads it back off and latches: switching it on is refused until a SCPI client clears the trip "
    f"(OUTPut:PROTection:CLEar). The trips and the watchdog are watched every {WATCH_INTERVAL_S:g} s. A limit "
    "of 0 holds the set-point at 0."
)
# Told in each one-shot command's help.
ONE_SHOT = (
    "Kept by a guard while the command runs: set-points move no faster than a slew rate allows (a larger change "
    "is carried out as a ramp at the rate, which stretches the command), and a trip switches the output off, "
    "reads it back off and latches, and the command says which trip and exits 21. The trips are watched every "
    f"{WATCH_INTERVAL_S:g} s and once more at the end; once the command has ended, nothing watches the supply "
    "(qm4410 serve keeps a guard for as long as it runs). No watchdog here: the command is the supply's only "
    "client and sends on its own schedule."
)


def add_options(command: argparse.ArgumentParser, *, serving: bool = False) -> None:
    """The guard's options: slew rates and trips; `serving` adds the limits
    and the watchdog of a server."""
    group = command.add_argument_group("the guard", SERVED if serving else ONE_SHOT)
    for option, kind, metavar, help_text in SLEW_AND_TRIPS + (SERVING if serving else ()):
        group.add_argument(option, type=kind, metavar=metavar, help=help_text)
    for option, help_text in SWITCHES.items():
        group.add_argument(option, action="store_true", help=help_text)


def rules(args: argparse.Namespace) -> Rules | None:
    """The guard's rules that the options give; None when none is given."""
    options = SLEW_AND_TRIPS + SERVING
    given: dict[str, Any] = {
        name: value
        for name in (_field(option.option) for option in options)
        if (value := getattr(args, name, None)) is not None
    }
    given.update({_field(option): True for option in SWITCHES if getattr(args, _field(option), False)})
    return Rules(**given) if given else None


def problem(args: argparse.Namespace, prefix: str = "--") -> str | None:
    """Why the guard's options do not go together (a rule that needs
    another), in their own names, each after `prefix`; None when they do."""
    try:
        rules(args)
    except ValueError as error:
        names = "|".join(field.name for field in dataclasses.fields(Rules))
        return re.sub(rf"\b({names})\b", lambda name: prefix + name[0].replace("_", "-"), str(error))
    return None


def _field(option: str) -> str:
    return option.removeprefix("--").replace("-", "_")


@contextlib.contextmanager
def guarded(args: argparse.Namespace, supply: Supply) -> Iterator[SupplyLike]:
    """`supply`, or a Guard over it that keeps the rules the options give,
    started for the block and closed after it (a ramp stops where it stands)."""
    found = rules(args)
    if found is None:
        yield supply
        return
    with Guard(supply, found) as guard:
        yield guard


def confirmed_off(trip: Trip, supply: Supply) -> None:
    """See the output off after `trip` (the guard switched it off; this
    reads it back as the workflows do), or end the command saying it may
    still be on."""
    try:
        supply.switch_off()
    except SwitchOffFailed as failure:
        raise CommandError(Exit.SETTING_FAILED, after_switch_off(str(trip), failure.state)) from None
