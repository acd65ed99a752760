"""Virtual supplies for scripts and tests: `qm4410-sim` processes, each
serving a pseudo-terminal of its own, started here and always ended."""

import contextlib
import os
import select
import shutil
import signal
import subprocess
import sys
import sysconfig
import tempfile
import threading
from collections.abc import Callable, Sequence
from types import TracebackType
from typing import IO

PROGRAM = "qm4410-sim"
START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
LAST_WORDS = 3  # lines of its standard error told when it fails to start
PR_SET_PDEATHSIG = 1  # from <linux/prctl.h>


class SimulatorError(RuntimeError):
    """qm4410-sim was not found, or did not start with the options given."""


class SimulatorMissing(SimulatorError):
    """No qm4410-sim to run: the package was built without it, or is not
    installed where this interpreter looks."""


def simulator_program() -> str:
    """The qm4410-sim to run: the one named by $QM4410_SIM, else the one on
    PATH, else the one beside this interpreter (a virtual environment used
    without activating it is not on PATH)."""
    program = (
        os.environ.get("QM4410_SIM")
        or shutil.which(PROGRAM)
        or shutil.which(PROGRAM, path=sysconfig.get_path("scripts"))
    )
    if program is None:
        raise SimulatorMissing(f"{PROGRAM} not found: it comes with `pip install qm4410`; or name it in $QM4410_SIM")
    return program


def command_line(**options: object) -> list[str]:
    """qm4410-sim's options from keywords, by their long names in snake
    case: load=8 gives --load 8, drop_every=3 gives --drop-every 3, and
    verbose=True gives --verbose; None and False leave an option out. The
    simulator itself checks names and values."""
    arguments = []
    for name, value in options.items():
        if value is None or value is False:
            continue
        arguments.append("--" + name.replace("_", "-"))
        if value is not True:
            arguments.append(str(value))
    return arguments


class VirtualSupply:
    """One running qm4410-sim; `port` is the path of its pseudo-terminal.

    `arguments` are the simulator's, as on its command line. What it writes
    on standard error (its -v log, its complaints) goes to `log_path`, or
    to an unnamed temporary file; `log()` reads it back. Use it as a
    context manager, or call `close()`: that ends the process if it still
    runs and releases its files."""

    def __init__(self, arguments: Sequence[str] = (), *, log_path: str | os.PathLike[str] | None = None) -> None:
        self.arguments = list(arguments)
        # Appending: the simulator's writes land at the end, wherever the
        # file's offset, which it shares with this process, happens to be.
        self._log: IO[bytes] = open(log_path, "a+b") if log_path is not None else tempfile.TemporaryFile("a+b")
        try:
            # A session of its own keeps a Ctrl-C typed at the terminal away
            # from it, so that the supply is still there for the cleanup
            # that switches its output off.
            self.process = subprocess.Popen(
                [simulator_program(), *self.arguments],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE,
                stderr=self._log,
                text=True,
                start_new_session=True,
                preexec_fn=_end_with_this_process(),
            )
            self.port = self._first_line()
        except BaseException:
            self.close()
            raise

    def control(self, command: str) -> None:
        """Send one change to the running supply through its --control pipe:
        "load 1.5", "short", "overtemp on" (see qm4410-sim --help)."""
        try:
            path = self.arguments[self.arguments.index("--control") + 1]
        except (ValueError, IndexError):
            raise ValueError("this virtual supply was started without --control PATH") from None
        # The simulator holds the pipe open for reading, so this never waits.
        with open(path, "w", encoding="ascii") as pipe:
            pipe.write(command + "\n")

    def log(self) -> str:
        # Read at offsets of its own: every line the simulator writes moves
        # the shared offset to the end, so a read from the shared offset,
        # overtaken by a line, would return nothing.
        text = b""
        while chunk := os.pread(self._log.fileno(), 1 << 16, len(text)):
            text += chunk
        return text.decode(errors="replace")

    def stop(self, number: int = signal.SIGTERM, timeout: float = STOP_TIMEOUT_S) -> int:
        """Send signal `number` unless it has ended, and wait for it; a
        process that outlasts `timeout` is killed. Its exit status."""
        if not hasattr(self, "process"):
            return 0
        if self.process.poll() is None:
            self.process.send_signal(number)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self.process.kill()
        status = self.process.wait()
        if self.process.stdout is not None:
            self.process.stdout.close()
        return status

    def close(self) -> None:
        self.stop()
        self._log.close()

    def __enter__(self) -> "VirtualSupply":
        return self

    def __exit__(
        self, kind: type[BaseException] | None, error: BaseException | None, trace: TracebackType | None
    ) -> None:
        self.close()

    def __repr__(self) -> str:
        return f"<VirtualSupply {getattr(self, 'port', '(starting)')} {' '.join(self.arguments)}>"

    def _first_line(self) -> str:
        assert self.process.stdout is not None  # started with stdout=PIPE
        ready, _, _ = select.select([self.process.stdout], [], [], START_TIMEOUT_S)
        line = self.process.stdout.readline().strip() if ready else None
        if line and line.startswith("/"):
            return line
        raise SimulatorError(self._why_no_port(ending=line is not None))

    def _why_no_port(self, ending: bool) -> str:
        """How it ended before telling its port (stopped first, when it
        still runs), and the last lines it wrote."""
        status = None
        if ending:  # it closed its output
            with contextlib.suppress(subprocess.TimeoutExpired):
                status = self.process.wait(STOP_TIMEOUT_S)
        self.stop()
        if status is None:
            message = f"{PROGRAM} did not tell its port within {START_TIMEOUT_S:g} s"
        elif status < 0:
            message = f"{PROGRAM} was killed by {signal.Signals(-status).name} before telling its port"
        else:
            message = f"{PROGRAM} ended with status {status} before telling its port"
        said = [text for text in self.log().splitlines() if text.strip()]
        if not said:
            return message
        # What went wrong comes first (a usage text may follow), how it
        # ended last.
        told = said if len(said) <= LAST_WORDS + 1 else [said[0], "...", *said[-LAST_WORDS:]]
        return message + "; it said:" + "".join("\n  " + text for text in told)


def _end_with_this_process() -> Callable[[], None] | None:
    """What the child runs before the simulator, on Linux: have the kernel
    send the simulator SIGTERM when this process ends, so that not even a
    SIGKILL or a crash here leaves one behind. The signal comes when the
    thread that started the child ends, so only the main thread asks."""
    if sys.platform != "linux" or threading.current_thread() is not threading.main_thread():
        return None
    import ctypes

    prctl = ctypes.CDLL(None, use_errno=True).prctl
    parent = os.getpid()

    def in_child() -> None:
        if prctl(PR_SET_PDEATHSIG, signal.SIGTERM) != 0:
            raise OSError(ctypes.get_errno(), "prctl(PR_SET_PDEATHSIG)")
        if os.getppid() != parent:  # this process died before prctl: the signal would never come
            os._exit(1)

    return in_child
