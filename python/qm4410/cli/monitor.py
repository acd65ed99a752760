"""The `monitor` subcommand: sample the status at a steady pace until told
to stop, then leave the supply safe and draw what was seen."""

import contextlib
import datetime
import signal
import sys
import time
from collections.abc import Iterator

from . import console, plot, render, safety
from .failures import SETTING_FAILED, CommandError, Stopped, ending_signals
from .files import check_writable
from .records import STATUS_KEYS, check_log, sample_writer
from .session import connected

# How late a stop request may be noticed while waiting for the next sample.
STOP_CHECK_S = 0.05


def monitor(args) -> int:
    # Everything that would end the run badly at its end is refused first.
    if args.plot:
        plot.require_matplotlib()
        check_writable(args.plot)
    if args.csv or args.jsonl:
        check_log(args.csv or args.jsonl, as_csv=bool(args.csv), append=args.append)
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
                    _draw(samples, args.plot, args.plot_size)
    if args.off_on_exit and state != "off":
        raise CommandError(SETTING_FAILED, safety.still_on_message(state))
    if stop.signum is not None:
        raise Stopped(stop.signum)
    return 0


def _draw(samples: list[dict], path: str, size: tuple[int, int]) -> None:
    if any(sample["answered"] for sample in samples):
        plot.draw(samples, path, size)
    elif samples:
        plural = "s" if len(samples) > 1 else ""
        print(f"qm4410: no plot: the supply answered none of the {len(samples)} sample{plural}", file=sys.stderr)
    else:
        print("qm4410: no plot: no sample was taken", file=sys.stderr)


class StopRequest:
    """The first stop signal received, if any. The handler only assigns an
    attribute: anything that takes a lock (threading.Event.set does) would
    deadlock when a second signal interrupts the first handler, and raising
    from it could cut the switch-off short. Every step of the run is bounded
    by the driver's timeouts, so polling this flag is soon enough."""

    def __init__(self) -> None:
        self.signum: int | None = None

    def __bool__(self) -> bool:
        return self.signum is not None

    def note(self, signum, frame) -> None:
        if signum == getattr(signal, "SIGHUP", None):
            console.note_hang_up()
        if self.signum is None:  # several may arrive: Ctrl-C under qm4410-sim comes twice
            self.signum = signum


@contextlib.contextmanager
def stop_requests() -> Iterator[StopRequest]:
    """Ctrl-C, SIGTERM and a hang-up (the terminal closed, ssh dropped) end
    the sampling between two requests rather than in the middle of one (a
    reply cut off there would be taken by the request that switches the
    output off)."""
    stop = StopRequest()
    previous = {sig: signal.signal(sig, stop.note) for sig in ending_signals()}
    try:
        yield stop
    finally:
        # Once stopped by a signal the command only exits: more of them (a
        # key held down) must not break into the interpreter's shutdown.
        for sig, handler in previous.items():
            signal.signal(sig, signal.SIG_IGN if stop else handler)


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
