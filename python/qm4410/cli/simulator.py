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
from collections.abc import Iterator

from .failures import SIMULATOR_FAILED, fail

SIMULATOR = "qm4410-sim"
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>


@contextlib.contextmanager
def simulated_port() -> Iterator[str]:
    """Start the virtual supply and yield the path of its port."""
    # Beside our own scripts too: a venv used without activation is not on PATH.
    program = shutil.which(SIMULATOR) or shutil.which(SIMULATOR, path=sysconfig.get_path("scripts"))
    if program is None:
        fail(SIMULATOR_FAILED, f"--sim needs {SIMULATOR} on PATH; it comes with `pip install qm4410`")
    # A session of its own keeps a Ctrl-C typed at the terminal away from the
    # supply, so that it is still there when --off-on-exit switches it off.
    process = subprocess.Popen(
        [program],
        stdout=subprocess.PIPE,
        stdin=subprocess.DEVNULL,
        text=True,
        start_new_session=True,
        preexec_fn=functools.partial(_end_with_parent, os.getpid()),
    )
    try:
        yield _first_line(process)
    finally:
        _stop(process)


def _end_with_parent(parent: int) -> None:
    """In the child before it runs the simulator: have the kernel send it
    SIGTERM when this command dies. Our own cleanup stops it on every
    ending that runs Python code, but not on SIGKILL or a crash, and in a
    session of its own no hang-up reaches it either. Linux only; elsewhere
    the cleanup alone has to do."""
    if sys.platform != "linux":
        return
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, signal.SIGTERM) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
    # Had the command died before prctl, the signal would never come.
    if os.getppid() != parent:
        os._exit(1)


def _first_line(process: subprocess.Popen[str]) -> str:
    assert process.stdout is not None  # started with stdout=PIPE
    ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT_S)
    line = process.stdout.readline().strip() if ready else ""
    if not line:
        fail(SIMULATOR_FAILED, f"{SIMULATOR} did not tell its port within {START_TIMEOUT_S:g} s")
    return line


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
