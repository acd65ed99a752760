"""`qm4410 sweep`: one set-point stepped through a range, the status read
at each step, and the I-V curve drawn."""

import argparse

from qm4410 import workflows
from qm4410.supply.supply_like import SupplyLike

from .. import guard, logs
from ..values import above_zero, positive_quantity, setpoint_or_range, time_span
from . import Commands, Parents, workflow


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "sweep",
        parents=parents,
        help="step the voltage or the current through a range, reading the status at each step",
        description="Step one set-point through START:STOP:STEP, holding the other: at each step set it, "
        "wait --dwell seconds and read the status. Stops early, switching the output off, at --stop-current, "
        f"--stop-power or over-temperature. The output is off at the end unless --leave-on. {workflow.REMOTE}",
    )
    command.add_argument(
        "--voltage",
        type=setpoint_or_range("voltage"),
        required=True,
        metavar="V|START:STOP:STEP",
        help="the output voltage, volts: one value, or the range to sweep",
    )
    command.add_argument(
        "--current",
        type=setpoint_or_range("current"),
        required=True,
        metavar="A|START:STOP:STEP",
        help="the current limit, amperes: one value, or the range to sweep",
    )
    command.add_argument(
        "--dwell",
        type=time_span("the dwell"),
        default=0.5,
        metavar="S",
        help="seconds between setting a step and reading it (default 0.5)",
    )
    command.add_argument("--both-ways", action="store_true", help="sweep back to the start after the stop")
    command.add_argument(
        "--stop-current",
        type=positive_quantity("current", "the stop current"),
        metavar="A",
        help="stop once the measured current reaches A",
    )
    command.add_argument(
        "--stop-power", type=above_zero("the stop power"), metavar="W", help="stop once the measured power reaches W"
    )
    command.add_argument("--leave-on", action="store_true", help="leave the output on at the end")
    guard.add_options(command)
    logs.add_options(
        command, workflow.ROWS, "draw the I-V curve (measured current against measured voltage) at the end"
    )
    command.set_defaults(run=run, problem=problem)


def problem(args: argparse.Namespace) -> str | None:
    """What the sweep's own checks refuse in the command line, before any
    port or file is touched."""
    if [isinstance(value, workflows.Span) for value in (args.voltage, args.current)].count(True) != 1:
        return "give START:STOP:STEP to exactly one of --voltage and --current, and one value to the other"
    return logs.problem(args)


def run(args: argparse.Namespace) -> int:
    swept, _, held, held_value = workflows.plan_sweep(args.voltage, args.current, args.both_ways)
    unit = "V" if held == "voltage" else "A"

    def sweep(supply: SupplyLike, hooks: workflow.Hooks) -> workflows.Outcome:
        return workflows.sweep(
            supply,
            voltage=args.voltage,
            current=args.current,
            dwell=args.dwell,
            both_ways=args.both_ways,
            stop_current=args.stop_current,
            stop_power=args.stop_power,
            leave_on=args.leave_on,
            **hooks,
        )

    def draw(rows: list[workflows.Row]) -> None:
        label = f"{swept} swept, {held} {held_value:.3f} {unit}"
        workflows.draw_iv(
            {label: rows}, args.plot, title=f"qm4410 sweep from {rows[0]['timestamp']}", size=args.plot_size
        )

    return workflow.carry_out(args, "sweep", sweep, switches_off=not args.leave_on, draw=draw)
