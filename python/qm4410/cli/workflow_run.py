"""What `sweep`, `ramp` and `run` share: a workflow of the package carried
out on the supply of the command line, each of its rows shown, logged and
kept for the plot as it comes, a signal ending it between two exchanges,
and its ending told."""

import argparse
import sys
from collections.abc import Callable

from qm4410.workflows import NoAnswerError, Outcome, Row
from qm4410.workflows.session import CONDITIONS

from . import plot, render
from .exits import CommandError, Exit, Stopped
from .progress import ProgressLine
from .records import WORKFLOW_LOG, check_outputs, sample_writer
from .session import connected
from .stopping import StopRequest, stop_requests

# Called with the open driver and the keywords on_row, on_progress and stop.
Workflow = Callable[..., Outcome]
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
    check_outputs(args, WORKFLOW_LOG)
    rows: list[Row] = []
    progress = ProgressLine()

    def on_row(row: Row) -> None:
        rows.append(row)
        write(row)
        progress.clear()
        print(render.workflow_line(row, with_cycle), flush=True)

    # Outermost, so that a signal during the switch-off, the plot or the
    # closing is noted rather than cutting them short.
    with stop_requests() as stop:
        with sample_writer(args.csv, args.jsonl, args.append, WORKFLOW_LOG) as write, connected(args) as driver:
            try:
                if stop.signum is not None:  # while connecting: nothing has been sent yet
                    raise Stopped(stop.signum)
                outcome = workflow(driver, on_row=on_row, on_progress=progress.show, stop=lambda: bool(stop))
            except NoAnswerError as error:
                raise _told(error, args.csv or args.jsonl) from None
            finally:
                progress.clear()
                if args.plot:
                    plot.draw_if_answered(rows, lambda: draw(rows), noun="reading")
    return _ended(name, outcome, stop, switches_off)


def _ended(name: str, outcome: Outcome, stop: StopRequest, switches_off: bool) -> int:
    if outcome.stopped_by in CONDITIONS:  # the workflow switched the output off, and saw it off
        print(f"qm4410: the {name} stopped: {outcome.reason}; output switched off", file=sys.stderr)
        return Exit.SUPPLY_WARNS if outcome.stopped_by == "over_temperature" else 0
    if switches_off:  # and it raises NoAnswerError when the status does not confirm it
        print("output switched off", file=sys.stderr)
    if outcome.stopped_by == "stop":
        print(f"qm4410: {outcome.reason}", file=sys.stderr)
    if stop.signum is not None:
        raise Stopped(stop.signum)
    return 0


def _told(error: NoAnswerError, log: str | None) -> CommandError:
    """The supply stopped answering, or its port went away; and where the
    rows taken until then are."""
    kept = f"; every row taken until then is in {log}" if log and error.rows else ""
    if isinstance(error.__cause__, OSError):
        return CommandError(Exit.LINE_LOST, f"lost the line to the supply: {error}{kept}")
    return CommandError(Exit.NO_ANSWER, f"{error}{kept}")
