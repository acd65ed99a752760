"""The virtual supply behind `--sim`: started for one command, always stopped."""

import contextlib
import ctypes
import functools
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
from collections.abc import Iterator, Sequence
from typing import IO

from .failures import NO_VIRTUAL_SUPPLY, SIMULATOR_FAILED, CommandError
from .system import on_windows

SIMULATOR = "qm4410-sim"
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
LAST_WORDS = 3  # lines of its standard error told when it fails to start
PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>


def find_simulator() -> str:
    # Beside our own scripts too: a venv used without activation is not on PATH.
    program = shutil.which(SIMULATOR) or shutil.which(SIMULATOR, path=sysconfig.get_path("scripts"))
    if program is not None:
        return program
    if on_windows():
        reason = f"no virtual supply is available on Windows: {SIMULATOR} is built on Linux and macOS only"
    else:
        reason = f"no virtual supply is available: {SIMULATOR} is not installed here (the package was built without it)"
    raise CommandError(NO_VIRTUAL_SUPPLY, reason + "; give --port with a real supply's port instead")


@contextlib.contextmanager
def simulated_port(options: Sequence[str]) -> Iterator[str]:
    """Start the virtual supply with `options` and yield the path of its port.
    What it says on standard error is passed on once it has stopped."""
    program = find_simulator()
    with tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as said:
        # A session of its own keeps a Ctrl-C typed at the terminal away from
        # the supply, so that it is still there when --off-on-exit switches
        # it off.
        process = subprocess.Popen(
            [program, *options],
            stdin=subprocess.DEVNULL,
            stdout=subprocess.PIPE,
            stderr=said,
            text=True,
            start_new_session=True,
            preexec_fn=functools.partial(_end_with_parent, os.getpid()) if sys.platform == "linux" else None,
        )
        told = False
        try:
            port = _first_line(process)
            if not port:
                told = True
                raise CommandError(SIMULATOR_FAILED, _no_port(process, port, said))
            yield port
        finally:
            _stop(process)
            if not told and (words := _words(said)):
                print(words, file=sys.stderr)


def _end_with_parent(parent: int) -> None:
    """In the child before it runs the simulator: have the kernel send it
    SIGTERM when this command dies. Our own cleanup stops it on every
    ending that runs Python code, but not on SIGKILL or a crash, and in a
    session of its own no hang-up reaches it either. Linux only; elsewhere
    the cleanup alone has to do."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
    # Had the command died before prctl, the signal would never come.
    if os.getppid() != parent:
        os._exit(1)


def _first_line(process: subprocess.Popen[str]) -> str | None:
    """The port it prints first; "" when it closed its output without one
    (it is ending), None when it said nothing in time."""
    assert process.stdout is not None  # started with stdout=PIPE
    ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT_S)
    return process.stdout.readline().strip() if ready else None


def _no_port(process: subprocess.Popen[str], line: str | None, said: IO[str]) -> str:
    """Why no port came: how it ended (stopped first, when it still runs)
    and the last lines it wrote."""
    status = None
    if line is not None:  # it closed its output: it is ending
        with contextlib.suppress(subprocess.TimeoutExpired):
            status = process.wait(STOP_TIMEOUT_S)
    _stop(process)
    words = _words(said)
    if status is None:
        message = f"{SIMULATOR} did not tell its port within {START_TIMEOUT_S:g} s"
    elif status < 0:
        message = f"{SIMULATOR} was killed by {signal.Signals(-status).name} before telling its port"
    else:
        message = f"{SIMULATOR} ended with status {status} before telling its port"
    if not words:
        return message
    last = words.splitlines()[-LAST_WORDS:]
    return message + "; its last words:\n" + "\n".join("  " + line for line in last)


def _words(said: IO[str]) -> str:
    """What the simulator wrote on its standard error, read once it is done."""
    said.seek(0)
    return said.read().strip()


def _stop(process: subprocess.Popen[str]) -> None:
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(STOP_TIMEOUT_S)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if process.stdout:
        process.stdout.close()
