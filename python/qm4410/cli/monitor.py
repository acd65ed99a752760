"""The `monitor` subcommand: sample the status at a steady pace until told
to stop, then leave the supply safe and draw what was seen."""

import contextlib
import datetime
import signal
import sys
import time
from collections.abc import Iterator

from . import plot, render
from .failures import SETTING_FAILED, SIGNAL_STATUS, fail
from .records import sample_writer
from .session import connected

# How late a stop request may be noticed while waiting for the next sample.
STOP_CHECK_S = 0.05


def monitor(args) -> int:
    if args.plot:
        plot.require_matplotlib()
    samples: list[dict] = []
    # Outermost, so that a signal during the switch-off, the plot or the
    # closing is noted rather than cutting them short.
    with stop_requests() as stop:
        with sample_writer(args.csv, args.jsonl) as write, connected(args) as driver:
            try:
                for sample in samples_taken(driver, args.interval, args.duration, stop):
                    samples.append(sample)
                    write(sample)
                    print(render.monitor_line(sample), flush=True)
            finally:
                switched_off = _switch_off(driver) if args.off_on_exit else True
                if args.plot and samples:
                    plot.draw(samples, args.plot, args.plot_size)
    if not switched_off:
        fail(SETTING_FAILED, "the output could not be switched off; check the supply")
    if stop.signum is not None:
        signum = signal.Signals(stop.signum)
        print(f"qm4410: stopped by {signum.name}", file=sys.stderr)
        return SIGNAL_STATUS[signum]
    return 0


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
        if self.signum is None:  # several may arrive: Ctrl-C under qm4410-sim comes twice
            self.signum = signum


@contextlib.contextmanager
def stop_requests() -> Iterator[StopRequest]:
    """Ctrl-C, SIGTERM and a hang-up (the terminal closed, ssh dropped) end
    the sampling between two requests rather than in the middle of one (a
    reply cut off there would be taken by the request that switches the
    output off)."""
    stop = StopRequest()
    previous = {sig: signal.signal(sig, stop.note) for sig in SIGNAL_STATUS}
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
    comes too late skips the grid points it missed instead of bunching."""
    start = time.monotonic()
    due = start
    while not stop and (duration is None or due - start <= duration + 1e-9):
        if not _wait_until(due, stop):
            return
        taken_at = datetime.datetime.now().astimezone()
        elapsed = time.monotonic() - start
        record = driver.read_dev_status()
        if record is None:
            print(f"{elapsed:9.2f} s  no answer from the supply", file=sys.stderr)
        else:
            yield _sample_of(record, taken_at, elapsed)
        due = start + interval * (int((time.monotonic() - start) / interval) + 1)


def _wait_until(moment: float, stop: StopRequest) -> bool:
    """Sleep until `moment`; False when a stop was requested meanwhile."""
    while (remaining := moment - time.monotonic()) > 0:
        if stop:
            return False
        time.sleep(min(remaining, STOP_CHECK_S))
    return not stop


def _sample_of(record: dict, taken_at: datetime.datetime, elapsed: float) -> dict:
    return {
        "timestamp": taken_at.isoformat(timespec="milliseconds"),
        "elapsed_s": round(elapsed, 3),
        **record,
        "power_w": round(record["voltage_real"] * record["current_real"], 6),
    }


def _switch_off(driver) -> bool:
    """Switch the output off whatever ended the run; report, never raise,
    so that the reason the run ended is not hidden."""
    try:
        switched_off = driver.set_ouput_mode("off")
    except Exception as error:  # the line itself may be what failed
        print(f"qm4410: warning: could not switch the output off: {error}", file=sys.stderr)
        return False
    if switched_off:
        print("output switched off", file=sys.stderr)
    else:
        print("qm4410: warning: switching the output off got no reply", file=sys.stderr)
    return switched_off
