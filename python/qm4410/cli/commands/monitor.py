"""`qm4410 monitor`: sample the status at a steady pace until told to stop,
then leave the supply safe and draw what was seen."""

import argparse
import datetime
import sys
import time
from collections.abc import Iterator
from typing import Any

from qm4410.supply import PortGone, Status, Supply
from qm4410.supply.status import named
from qm4410.supply.switch_off import after_switch_off, still_on_message

from .. import logs, plot, port, render
from ..exits import CommandError, Exit, Stopped
from ..terminal import StopRequest, stop_requests
from ..values import above_zero
from . import Commands, Parents

# How late a stop request may be noticed while waiting for the next sample.
STOP_CHECK_S = 0.05

Sample = dict[str, Any]


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser(
        "monitor",
        parents=parents,
        help="sample the status over time",
        description="Sample the status at a fixed interval until the duration is over or Ctrl-C.",
    )
    command.add_argument(
        "--interval",
        type=above_zero("the interval"),
        default=1.0,
        metavar="S",
        help="seconds between samples (default 1)",
    )
    command.add_argument(
        "--duration", type=above_zero("the duration"), metavar="S", help="stop after this many seconds (default: never)"
    )
    logs.add_options(command, "samples", logs.TIME_PLOT)
    command.add_argument(
        "--off-on-exit", action="store_true", help="switch the output off when monitoring ends, however it ends"
    )
    command.set_defaults(run=run, problem=logs.problem)


def run(args: argparse.Namespace) -> int:
    logs.check(args, logs.MONITOR_LOG)
    samples: list[Sample] = []
    ended: CommandError | None = None  # what ended the run early, told once the output has been seen to
    left: str | None = "off"  # the output's state after --off-on-exit
    # Outermost, so that a signal during the switch-off, the plot or the
    # closing is noted rather than cutting them short.
    with stop_requests() as stop:
        with logs.writer(args, logs.MONITOR_LOG) as write, port.opened(args) as supply:
            print(render.MONITOR_HEADER, flush=True)
            try:
                for sample in samples_taken(supply, args.interval, args.duration, stop):
                    samples.append(sample)
                    write(sample)
                    print(render.monitor_line(sample), flush=True)
            except PortGone as gone:
                ended = CommandError(Exit.LINE_LOST, str(gone))
            except CommandError as error:  # the log could not be written
                ended = error
            finally:
                if args.off_on_exit:
                    left = port.switch_off(supply)
                if args.plot:
                    plot.draw_if_answered(samples, lambda: plot.draw(samples, args.plot, args.plot_size))
    if ended is not None:
        # Its own status, and the output said to be not known off besides.
        raise ended if left == "off" else CommandError(ended.status, after_switch_off(ended.message, left))
    if left != "off":
        raise CommandError(Exit.SETTING_FAILED, still_on_message(left))
    if stop.signum is not None:
        raise Stopped(stop.signum)
    return 0


def samples_taken(supply: Supply, interval: float, duration: float | None, stop: StopRequest) -> Iterator[Sample]:
    """Read the status every `interval` seconds, on a fixed grid from the
    start so that slow replies do not make the pace drift; a sample that
    comes too late skips the grid points it missed instead of bunching, and
    a supply that answers too slowly for the interval is told once."""
    start = time.monotonic()
    due = start
    told_slow = False
    # After an unanswered exchange the driver may first wait for a late
    # reply to pass: that exchange is no measure of the line.
    after_answer = True
    while not stop and (duration is None or due - start <= duration + 1e-9):
        if not _wait_until(due, stop):
            return
        taken_at = datetime.datetime.now().astimezone()
        asked = time.monotonic()
        status = supply.link.read_status()
        answered = time.monotonic()
        yield _sample_of(status, taken_at, asked - start)
        next_due = start + interval * (int((time.monotonic() - start) / interval) + 1)
        if status is not None and after_answer and answered - asked > interval and not told_slow:
            told_slow = True
            print(
                f"qm4410: warning: the supply takes {answered - asked:.3f} s to answer, longer than "
                f"--interval {interval:g}: sampling every {next_due - due:.3g} s instead",
                file=sys.stderr,
            )
        due = next_due
        after_answer = status is not None


def _wait_until(moment: float, stop: StopRequest) -> bool:
    """Sleep until `moment`; False when a stop was requested meanwhile."""
    while (remaining := moment - time.monotonic()) > 0:
        if stop:
            return False
        time.sleep(min(remaining, STOP_CHECK_S))
    return not stop


def _sample_of(status: Status | None, taken_at: datetime.datetime, elapsed: float) -> Sample:
    """One sample; one the supply did not answer has every value None."""
    return {
        "timestamp": taken_at.isoformat(timespec="milliseconds"),
        "elapsed_s": round(elapsed, 3),
        **named(status),
        "answered": status is not None,
    }
