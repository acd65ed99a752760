"""The `ramp` subcommand: a set-point moved to its target at a rate."""

import argparse

from qm4410 import workflows
from qm4410.supply.setpoints import Quantity

from . import plot
from .workflow_run import carry_out


def problem(args: argparse.Namespace) -> str | None:
    """A ramp goes to one target; the other set-point may be held besides."""
    if args.to_current is not None and args.current is not None:
        return "a current ramp goes to --to-current: give --voltage besides, not --current"
    if args.to is not None and args.voltage is not None:
        return "a voltage ramp goes to --to: give --current besides, not --voltage"
    return None


def run_ramp(args: argparse.Namespace) -> int:
    quantity: Quantity = "voltage" if args.to is not None else "current"
    target = args.to if args.to is not None else args.to_current

    def ramp(driver, **hooks) -> workflows.Outcome:
        return workflows.ramp(
            driver,
            quantity,
            target,
            rate=args.rate,
            voltage=args.voltage,
            current=args.current,
            off_on_exit=args.off_on_exit,
            **hooks,
        )

    def draw(rows: list[workflows.Row]) -> None:
        plot.draw(rows, args.plot, args.plot_size, title="qm4410 ramp")

    return carry_out(args, "ramp", ramp, switches_off=args.off_on_exit, draw=draw)
