"""`qm4410 ramp`: a set-point moved to its target at a rate."""

import argparse

from qm4410 import workflows
from qm4410.supply.setpoints import Quantity, to_units
from qm4410.supply.supply_like import SupplyLike
from qm4410.workflows.ramp import MOST_STEPS_PER_S

from .. import guard, logs, plot
from ..values import above_zero, number, quantity
from . import Commands, Parents, workflow


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "ramp",
        parents=parents,
        help="move the voltage or the current limit to a target at a rate",
        description="Move a set-point from where the supply has it (or from --from) to --to (the voltage) or "
        "--to-current (the current limit) at --rate a second, in steps of 1 mV (1 mA) or of the rate over "
        f"{MOST_STEPS_PER_S:g} steps a second, whichever is coarser, reading the status after each. "
        "The other set-point (--current or --voltage) is set first, then the output switched as --output "
        "says; otherwise the output is left as it is. --output on never switches the output on above where "
        "the ramp starts: at --from, else where the output stands (0 when it is off), set before it comes on. "
        "Stopped (Ctrl-C), the ramp stays where it is. "
        f"{workflow.REMOTE}",
    )
    target = command.add_mutually_exclusive_group(required=True)
    target.add_argument(
        "--to",
        "--to-voltage",
        dest="to",
        type=quantity("voltage", "the voltage to ramp to"),
        metavar="V",
        help="ramp the output voltage to V",
    )
    target.add_argument(
        "--to-current",
        type=quantity("current", "the current to ramp to"),
        metavar="A",
        help="ramp the current limit to A",
    )
    command.add_argument(
        "--rate", type=above_zero("the rate"), required=True, metavar="PER_S", help="volts (or amperes) a second"
    )
    command.add_argument(
        "--from",
        dest="start",
        type=number,
        metavar="V_OR_A",
        help="where the ramp starts, in volts (amperes for --to-current), set first",
    )
    command.add_argument(
        "--current",
        type=quantity("current", "the current"),
        metavar="A",
        help="the current limit to set first, for a voltage ramp",
    )
    command.add_argument(
        "--voltage",
        type=quantity("voltage", "the voltage"),
        metavar="V",
        help="the voltage to set first, for a current ramp",
    )
    command.add_argument(
        "--output", choices=("on", "off"), help="switch the output after setting --current or --voltage, before ramping"
    )
    command.add_argument(
        "--off-on-exit", action="store_true", help="switch the output off when the ramp ends, however it ends"
    )
    guard.add_options(command)
    logs.add_options(command, workflow.ROWS, logs.TIME_PLOT)
    command.set_defaults(run=run, problem=problem)


def problem(args: argparse.Namespace) -> str | None:
    """A ramp goes to one target; the other set-point may be held besides."""
    if args.to_current is not None and args.current is not None:
        return "a current ramp goes to --to-current: give --voltage besides, not --current"
    if args.to is not None and args.voltage is not None:
        return "a voltage ramp goes to --to: give --current besides, not --voltage"
    if args.start is not None:
        try:
            to_units("voltage" if args.to is not None else "current", args.start, "the ramp's start")
        except (ValueError, TypeError) as refused:
            return f"argument --from: {refused}"
    return logs.problem(args)


def run(args: argparse.Namespace) -> int:
    which: Quantity = "voltage" if args.to is not None else "current"
    target = args.to if args.to is not None else args.to_current
    output = None if args.output is None else args.output == "on"

    def ramp(supply: SupplyLike, hooks: workflow.Hooks) -> workflows.Outcome:
        return workflows.ramp(
            supply,
            which,
            target,
            rate=args.rate,
            start=args.start,
            voltage=args.voltage,
            current=args.current,
            output=output,
            off_on_exit=args.off_on_exit,
            **hooks,
        )

    def draw(rows: list[workflows.Row]) -> None:
        plot.draw([logs.workflow_sample(row) for row in rows], args.plot, args.plot_size, title="qm4410 ramp")

    return workflow.carry_out(args, "ramp", ramp, switches_off=args.off_on_exit, draw=draw)
