"""The `sweep` subcommand: one set-point stepped through a range, the status
read at each step, and the I-V curve drawn."""

import argparse

from qm4410 import workflows

from .workflow_run import carry_out


def problem(args: argparse.Namespace) -> str | None:
    """What the sweep's own checks refuse in the command line, before any
    port or file is touched."""
    if [isinstance(value, workflows.Span) for value in (args.voltage, args.current)].count(True) != 1:
        return "give START:STOP:STEP to exactly one of --voltage and --current, and one value to the other"
    try:
        workflows.plan_sweep(args.voltage, args.current, args.both_ways)
    except ValueError as error:
        return str(error)
    return None


def run_sweep(args: argparse.Namespace) -> int:
    swept, _, held, held_value = workflows.plan_sweep(args.voltage, args.current, args.both_ways)
    unit = "V" if held == "voltage" else "A"

    def sweep(driver, **hooks) -> workflows.Outcome:
        return workflows.sweep(
            driver,
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
        workflows.draw_iv({label: rows}, args.plot, title=f"qm4410 sweep from {rows[0]['timestamp']}",
                          size=args.plot_size)

    return carry_out(args, "sweep", sweep, switches_off=not args.leave_on, draw=draw)
