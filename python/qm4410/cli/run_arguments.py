"""The options of the long runs: where monitor and the workflows log and
draw what they read, and the workflow subcommands sweep, ramp and run."""

import argparse

from qm4410.workflows.ramp import MOST_STEPS_PER_S

from . import plot, profile_run, ramp, sweep
from .values import above_zero, count, pixels, plot_file, quantity, seconds, setpoint_or_range, time_span


def add_records(command: argparse.ArgumentParser, what: str, plot_help: str) -> None:
    """--csv or --jsonl (with --append), --plot and --plot-size."""
    record = command.add_mutually_exclusive_group()
    record.add_argument("--csv", metavar="FILE", help=f"write the {what} as CSV")
    record.add_argument("--jsonl", metavar="FILE", help=f"write the {what} as JSON Lines")
    command.add_argument(
        "--append", action="store_true", help="add to an existing --csv or --jsonl file instead of replacing it"
    )
    command.add_argument("--plot", type=plot_file, metavar="FILE", help=f"{plot_help}, as .png, .svg or .pdf")
    low, high = plot.SIDE_PIXELS
    command.add_argument(
        "--plot-size",
        type=pixels,
        default=(1000, 750),
        metavar="WxH",
        help=f"plot size in pixels, {low} to {high} a side (default 1000x750)",
    )


TIME_PLOT = "draw voltage, current and power against time at the end"
ROWS = "readings"


def add_workflow_commands(commands, where: argparse.ArgumentParser) -> None:
    _add_sweep(commands, where)
    _add_ramp(commands, where)
    _add_run(commands, where)


def _add_sweep(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "sweep",
        parents=[where],
        help="step the voltage or the current through a range, reading the status at each step",
        description="Step one set-point through START:STOP:STEP, holding the other: at each step set it, "
        "wait --dwell seconds and read the status. Stops early, switching the output off, at --stop-current, "
        "--stop-power or over-temperature. The output is off at the end unless --leave-on.",
    )
    command.add_argument("--voltage", type=setpoint_or_range, required=True, metavar="V|START:STOP:STEP",
                         help="the output voltage, volts: one value, or the range to sweep")
    command.add_argument("--current", type=setpoint_or_range, required=True, metavar="A|START:STOP:STEP",
                         help="the current limit, amperes: one value, or the range to sweep")
    command.add_argument("--dwell", type=time_span("the dwell"), default=0.5, metavar="S",
                         help="seconds between setting a step and reading it (default 0.5)")
    command.add_argument("--both-ways", action="store_true", help="sweep back to the start after the stop")
    command.add_argument("--stop-current", type=quantity("current", "the stop current", above_zero=True), metavar="A",
                         help="stop once the measured current reaches A")
    command.add_argument("--stop-power", type=above_zero("the stop power"), metavar="W",
                         help="stop once the measured power reaches W")
    command.add_argument("--leave-on", action="store_true", help="leave the output on at the end")
    add_records(command, ROWS, "draw the I-V curve (measured current against measured voltage) at the end")
    command.set_defaults(run=sweep.run_sweep, problem=sweep.problem)


def _add_ramp(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "ramp",
        parents=[where],
        help="move the voltage or the current limit to a target at a rate",
        description="Move a set-point from where the supply has it to --to (the voltage) or --to-current "
        "(the current limit) at --rate a second, in steps of 1 mV (1 mA) or of the rate over "
        f"{MOST_STEPS_PER_S:g} steps a second, whichever is coarser, reading the status after each. The "
        "output is left as it is; stopped (Ctrl-C), the ramp stays where it is.",
    )
    target = command.add_mutually_exclusive_group(required=True)
    target.add_argument("--to", "--to-voltage", dest="to", type=quantity("voltage", "the voltage to ramp to"),
                        metavar="V", help="ramp the output voltage to V")
    target.add_argument("--to-current", type=quantity("current", "the current to ramp to"), metavar="A",
                        help="ramp the current limit to A")
    command.add_argument("--rate", type=above_zero("the rate"), required=True, metavar="PER_S",
                         help="volts (or amperes) a second")
    command.add_argument("--current", type=quantity("current", "the current"), metavar="A",
                         help="the current limit to set first, for a voltage ramp")
    command.add_argument("--voltage", type=quantity("voltage", "the voltage"), metavar="V",
                         help="the voltage to set first, for a current ramp")
    command.add_argument("--off-on-exit", action="store_true", help="switch the output off when the ramp ends, however it ends")
    add_records(command, ROWS, TIME_PLOT)
    command.set_defaults(run=ramp.run_ramp, problem=ramp.problem)


def _add_run(commands, where: argparse.ArgumentParser) -> None:
    command = commands.add_parser(
        "run",
        parents=[where],
        help="run a profile: steps of set-points from a CSV or TOML file",
        description="Run the steps of PROFILE (CSV with the columns duration, voltage, current, output, or "
        "TOML [[step]] tables), each at its planned moment from the start, reading the status at each step "
        "and every --interval seconds. The whole file is checked before anything is sent. The output is off "
        "at the end, and when stopped, unless --leave-on.",
    )
    command.add_argument("profile", metavar="PROFILE", help="the profile, a .csv or .toml file")
    command.add_argument("--repeat", type=count, default=1, metavar="N", help="run the profile N times (default 1)")
    command.add_argument("--interval", type=seconds, metavar="S", help="read the status every S seconds within a step too")
    command.add_argument("--dry-run", action="store_true", help="print the plan and its total time; send nothing")
    command.add_argument("--leave-on", action="store_true", help="leave the output on at the end")
    add_records(command, ROWS, TIME_PLOT)
    command.set_defaults(run=profile_run.run_profile)
