"""The `monitor` subcommand: sample the status at a steady pace until told
to stop, then leave the supply safe and draw what was seen."""

import datetime
import sys
import time
from collections.abc import Iterator

from . import plot, render, safety
from .exits import CommandError, Exit, Stopped
from .records import MONITOR_LOG, STATUS_KEYS, check_outputs, sample_writer
from .session import connected
from .stopping import StopRequest, stop_requests

# How late a stop request may be noticed while waiting for the next sample.
STOP_CHECK_S = 0.05


def monitor(args) -> int:
    check_outputs(args, MONITOR_LOG)
    samples: list[dict] = []
    # Outermost, so that a signal during the switch-off, the plot or the
    # closing is noted rather than cutting them short.
    with stop_requests() as stop:
        with sample_writer(args.csv, args.jsonl, args.append) as write, connected(args) as driver:
            try:
                for sample in samples_taken(driver, args.interval, args.duration, stop):
                    samples.append(sample)
                    write(sample)
                    print(render.monitor_line(sample), flush=True)
            finally:
                state = safety.switch_off(driver) if args.off_on_exit else None
                if args.plot:
                    plot.draw_if_answered(samples, lambda: plot.draw(samples, args.plot, args.plot_size))
    if args.off_on_exit and state != "off":
        raise CommandError(Exit.SETTING_FAILED, safety.still_on_message(state))
    if stop.signum is not None:
        raise Stopped(stop.signum)
    return 0


def samples_taken(
    driver, interval: float, duration: float | None, stop: StopRequest
) -> Iterator[dict]:
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
        record = driver.read_dev_status()
        answered = time.monotonic()
        yield _sample_of(record, taken_at, asked - start)
        next_due = start + interval * (int((time.monotonic() - start) / interval) + 1)
        if record is not None and after_answer and answered - asked > interval and not told_slow:
            told_slow = True
            print(
                f"qm4410: warning: the supply takes {answered - asked:.3f} s to answer, longer than "
                f"--interval {interval:g}: sampling every {next_due - due:.3g} s instead",
                file=sys.stderr,
            )
        due = next_due
        after_answer = record is not None


def _wait_until(moment: float, stop: StopRequest) -> bool:
    """Sleep until `moment`; False when a stop was requested meanwhile."""
    while (remaining := moment - time.monotonic()) > 0:
        if stop:
            return False
        time.sleep(min(remaining, STOP_CHECK_S))
    return not stop


def _sample_of(record: dict | None, taken_at: datetime.datetime, elapsed: float) -> dict:
    """One sample; one the supply did not answer has every value None."""
    values = record if record is not None else dict.fromkeys(STATUS_KEYS)
    power = None if record is None else round(record["voltage_real"] * record["current_real"], 6)
    return {
        "timestamp": taken_at.isoformat(timespec="milliseconds"),
        "elapsed_s": round(elapsed, 3),
        **values,
        "power_w": power,
        "answered": record is not None,
    }
