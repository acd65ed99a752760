"""`qm4410 run`: a profile's steps, each at its planned moment; or with
--dry-run, the plan alone."""

import argparse

from qm4410 import workflows
from qm4410.supply.supply_like import SupplyLike

from .. import guard, logs, plot, render
from ..exits import CommandError, Exit
from ..values import above_zero, count
from . import Commands, Parents, workflow


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "run",
        parents=parents,
        help="run a profile: steps of set-points from a CSV or TOML file",
        description="Run the steps of PROFILE (CSV with the columns duration, voltage, current, output, or "
        "TOML [[step]] tables), each at its planned moment from the start, reading the status at each step "
        "and every --interval seconds. The whole file is checked before anything is sent. The output is off "
        f"at the end, and when stopped, unless --leave-on. {workflow.REMOTE}",
    )
    command.add_argument("profile", metavar="PROFILE", help="the profile, a .csv or .toml file")
    command.add_argument("--repeat", type=count, default=1, metavar="N", help="run the profile N times (default 1)")
    command.add_argument(
        "--interval",
        type=above_zero("the interval"),
        metavar="S",
        help="read the status every S seconds within a step too",
    )
    command.add_argument("--dry-run", action="store_true", help="print the plan and its total time; send nothing")
    command.add_argument("--leave-on", action="store_true", help="leave the output on at the end")
    guard.add_options(command)
    logs.add_options(command, workflow.ROWS, logs.TIME_PLOT)
    command.set_defaults(run=run, problem=logs.problem)


def run(args: argparse.Namespace) -> int:
    # Read and checked whole before the port is touched.
    profile = _profile(args.profile)
    try:
        schedule = workflows.plan(profile, args.repeat)
    except ValueError as error:
        raise CommandError(Exit.USAGE, f"{args.profile} with --repeat {args.repeat}: {error}") from None
    if args.dry_run:
        print(plan_table(schedule))
        return Exit.OK

    def run_profile(supply: SupplyLike, hooks: workflow.Hooks) -> workflows.Outcome:
        return workflows.run_profile(
            supply, profile, repeat=args.repeat, interval=args.interval, leave_on=args.leave_on, **hooks
        )

    def draw(rows: list[workflows.Row]) -> None:
        plot.draw(
            [logs.workflow_sample(row) for row in rows], args.plot, args.plot_size, title=f"qm4410 run {args.profile}"
        )

    return workflow.carry_out(
        args, "run", run_profile, switches_off=not args.leave_on, draw=draw, with_cycle=args.repeat > 1
    )


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
        rows.append(
            (
                str(planned.cycle),
                str(planned.number),
                str(step.line),
                f"{planned.start_s:g} s",
                f"{step.duration_s:g} s",
                "-" if step.voltage is None else render.reading("voltage", step.voltage),
                "-" if step.current is None else render.reading("current_limit", step.current),
                step.output or "-",
            )
        )
    steps = len(schedule.steps)
    total = f"{schedule.total_s:g} s" + (f" ({render.duration(schedule.total_s)})" if schedule.total_s >= 60 else "")
    total = f"{steps} step{'s' if steps != 1 else ''}, {total} in all"
    return render.aligned(rows) + "\n" + total
