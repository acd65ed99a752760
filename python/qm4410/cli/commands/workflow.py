"""What `sweep`, `ramp` and `run` share: a workflow of the package carried
out on the supply of the command line under remote control, each of its
rows shown, logged and kept for the plot as it comes, a line of progress
on a terminal, a signal ending it between two exchanges, and its ending
told."""

import argparse
import contextlib
import sys
from collections.abc import Callable
from typing import TypedDict

from qm4410.supply import NoReply
from qm4410.supply.supply_like import SupplyLike
from qm4410.supply.switch_off import CONFIRMED
from qm4410.workflows import NoAnswerError, Outcome, Progress, Row
from qm4410.workflows.session import CONDITIONS, UNANSWERED_IN_A_ROW

from .. import guard, logs, plot, port, render
from ..exits import Exit, Stopped
from ..terminal import ProgressLine, StopRequest, stop_requests

# Told in the help of each: a supply under local control may ignore what it is sent.
REMOTE = "Takes remote control of the supply before its first setting."
ROWS = "readings"  # what their --csv and --jsonl write


class Hooks(TypedDict):
    """What a workflow is handed besides the supply, as its keywords: where
    its rows and its progress go, and whether it is asked to stop."""

    on_row: Callable[[Row], None]
    on_progress: Callable[[Progress], None]
    stop: Callable[[], bool]


# Called with the open supply (or the guard over it) and the hooks; the
# workflow's outcome.
Workflow = Callable[[SupplyLike, Hooks], Outcome]
Drawing = Callable[[list[Row]], None]


def carry_out(
    args: argparse.Namespace,
    name: str,
    workflow: Workflow,
    *,
    switches_off: bool,
    draw: Drawing,
    with_cycle: bool = False,
) -> int:
    """Run `workflow` on the supply of `args`; the exit status. `switches_off`
    tells whether the workflow switches the output off when it ends (and
    when it is stopped); `draw` makes the --plot from the rows."""
    logs.check(args, logs.WORKFLOW_LOG)
    rows: list[Row] = []
    progress = ProgressLine()

    def on_row(row: Row) -> None:
        rows.append(row)
        sample = logs.workflow_sample(row)
        write(sample)
        progress.clear()
        print(render.workflow_line(sample, with_cycle), flush=True)

    # Outermost, so that a signal during the switch-off, the plot or the
    # closing is noted rather than cutting them short.
    with stop_requests() as stop:
        with (
            logs.writer(args, logs.WORKFLOW_LOG) as write,
            port.opened(args) as supply,
            guard.guarded(args, supply) as target,
        ):
            try:
                if stop.signum is not None:  # while connecting: nothing has been sent yet
                    raise Stopped(stop.signum)
                take_remote_control(target)
                print(render.workflow_header(with_cycle), flush=True)
                outcome = workflow(target, Hooks(on_row=on_row, on_progress=progress.show, stop=lambda: bool(stop)))
            except NoAnswerError as error:
                raise _with_the_rows_kept(error, args.csv or args.jsonl) from error.__cause__
            finally:
                progress.clear()
                if args.plot:
                    plot.draw_if_answered(rows, lambda: draw(rows), noun="reading")
    return _ended(name, outcome, stop, switches_off)


def take_remote_control(supply: SupplyLike) -> None:
    """Remote control, before the first setting. Asked again when the reply
    is lost, as the workflows ask a setting again: the supply counts as
    gone only when it does not answer UNANSWERED_IN_A_ROW times."""
    for _ in range(UNANSWERED_IN_A_ROW - 1):
        with contextlib.suppress(NoReply):
            supply.remote = True
            return
    supply.remote = True


def _ended(name: str, outcome: Outcome, stop: StopRequest, switches_off: bool) -> int:
    if outcome.stopped_by in CONDITIONS:  # the workflow switched the output off, and saw it off
        print(f"qm4410: the {name} stopped: {outcome.reason}; {CONFIRMED}", file=sys.stderr)
        return {"over_temperature": Exit.SUPPLY_WARNS, "trip": Exit.TRIPPED}.get(outcome.stopped_by, Exit.OK)
    if switches_off:  # and it raises NoAnswerError when the status does not confirm it
        print(CONFIRMED, file=sys.stderr)
    if outcome.stopped_by == "stop":
        print(f"qm4410: {outcome.reason}", file=sys.stderr)
    if stop.signum is not None:
        raise Stopped(stop.signum)
    return Exit.OK


def _with_the_rows_kept(error: NoAnswerError, log: str | None) -> NoAnswerError:
    """The error, saying where the rows taken until then are."""
    if not (log and error.rows):
        return error
    return NoAnswerError(f"{error}; every row taken until then is in {log}", error.rows, error.output_off)
