"""The `run` subcommand: a profile's steps, each at its planned moment;
or with --dry-run, the plan alone."""

import argparse

from qm4410 import workflows

from . import plot, render
from .exits import CommandError, Exit
from .workflow_run import carry_out


def run_profile(args: argparse.Namespace) -> int:
    # Read and checked whole before the port is touched.
    profile = _profile(args.profile)
    try:
        schedule = workflows.plan(profile, args.repeat)
    except ValueError as error:
        raise CommandError(Exit.USAGE, f"{args.profile} with --repeat {args.repeat}: {error}") from None
    if args.dry_run:
        print(plan_table(schedule))
        return 0

    def run(driver, **hooks) -> workflows.Outcome:
        return workflows.run_profile(
            driver, profile, repeat=args.repeat, interval=args.interval, leave_on=args.leave_on, **hooks
        )

    def draw(rows: list[workflows.Row]) -> None:
        plot.draw(rows, args.plot, args.plot_size, title=f"qm4410 run {args.profile}")

    return carry_out(args, "run", run, switches_off=not args.leave_on, draw=draw, with_cycle=args.repeat > 1)


def _profile(path: str) -> workflows.Profile:
    try:
        return workflows.load_profile(path)
    except OSError as error:
        raise CommandError(Exit.FILE_ERROR, f"cannot read the profile {path}: {error.strerror}") from None
    except ValueError as error:  # every problem, each with its line and column
        raise CommandError(Exit.USAGE, f"the profile cannot run as it is:\n{error}") from None


def plan_table(schedule: workflows.Plan) -> str:
    """Each step with its start, what it sets and for how long; then the total."""
    rows = [("cycle", "step", "line", "starts", "lasts", "voltage", "current", "output")]
    for planned in schedule.steps:
        step = planned.step
        rows.append((
            str(planned.cycle),
            str(planned.number),
            str(step.line),
            f"{planned.start_s:g} s",
            f"{step.duration_s:g} s",
            "-" if step.voltage is None else render.reading("voltage_set", step.voltage),
            "-" if step.current is None else render.reading("current_set", step.current),
            step.output or "-",
        ))
    count = len(schedule.steps)
    total = f"{schedule.total_s:g} s" + (f" ({render.duration(schedule.total_s)})" if schedule.total_s >= 60 else "")
    total = f"{count} step{'s' if count != 1 else ''}, {total} in all"
    return render.aligned(rows) + "\n" + total
