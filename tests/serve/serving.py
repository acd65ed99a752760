"""`qm4410 serve` for the tests: a process started with its options, its
endpoints read from its first lines, its log kept in a file."""

import contextlib
import io
import os
import select
import signal
import subprocess
import sys
import time

import pytest

import qm4410

# The command as the installed package runs it, in this interpreter.
COMMAND = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())"]
START_TIMEOUT_S = 15
# How long a test waits for what it expects: long, so that a busy machine
# never fails it; what it expects comes far sooner.
WITHIN_S = 30
# A supply's slowest answer is about 0.6 s (a lost reply, then the wait for
# it); clients that share it may wait for several.
SCPI_TIMEOUT_MS = 10_000
# pyserial's RFC 2217 client names its thread as Python 3.10 deprecated.
RFC2217_CLIENT_WARNINGS = pytest.mark.filterwarnings(
    "ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning:serial.rfc2217"
)


def command_environment() -> dict:
    env = dict(os.environ)
    env.pop("QM4410_PORT", None)
    return env


def run_command(*args: str, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run([*COMMAND, *args], capture_output=True, text=True, timeout=timeout, env=command_environment())


class Server:
    """Both endpoints on free loopback ports."""

    def __init__(self, options, log_path):
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen(
                [*COMMAND, "serve", "--rfc2217", "0", "--scpi", "0", *map(str, options)],
                stdout=subprocess.PIPE,
                stderr=log,
                bufsize=0,
                env=command_environment(),
            )
        self.rfc2217 = self._line()
        self.visa = self._line()
        assert self.rfc2217.startswith("rfc2217://127.0.0.1:"), (self.rfc2217, self.log())
        assert self.visa.startswith("TCPIP::127.0.0.1::") and self.visa.endswith("::SOCKET"), self.visa
        self.scpi_port = int(self.visa.split("::")[2])
        # The VISA instrument doors, EPICS and the web page, when asked for, in that order.
        self.hislip = self._line() if "--hislip" in options else None
        self.vxi11 = self._line() if "--vxi11" in options else None
        self.epics = self._line() if "--epics" in options else None
        self.http = self._line() if "--http" in options else None

    def _line(self) -> str:
        # Unbuffered, so that what select() sees is all that has come.
        ready, _, _ = select.select([self.proc.stdout], [], [], START_TIMEOUT_S)
        return self.proc.stdout.readline().decode().strip() if ready else ""

    def log(self) -> str:
        with open(self.log_path) as log:
            return log.read()

    def stop(self, number=signal.SIGTERM, timeout=10) -> int:
        if self.proc.poll() is None:
            self.proc.send_signal(number)
        try:
            return self.proc.wait(timeout)
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()
            self.proc.stdout.close()


def scpi_client(visa, server: Server):
    return visa.open_resource(server.visa, read_termination="\n", write_termination="\n", timeout=SCPI_TIMEOUT_MS)


@contextlib.contextmanager
def driver_client(server: Server):
    """The driver on the RFC 2217 endpoint, open; what it prints is kept
    from the test's output. Its identity request is answered, or not sent,
    within the driver's window of a third of a second, which a starved
    machine may miss: it is asked up to three times, as a script would."""
    driver = qm4410.QM4410(server.rfc2217)
    with contextlib.redirect_stdout(io.StringIO()):
        assert any(driver.open() for _ in range(3)), server.log()
    try:
        yield driver
    finally:
        driver.close()


def vanishing(qm4410_sim, folder, requests: int) -> str:
    """The port, for --port, of a virtual supply that vanishes after
    `requests` requests: a link of its own, which goes with it. A server
    that tries to reconnect then finds nothing there, never the
    pseudo-terminal of the same number that another test's supply may have
    had since."""
    link = folder / "ttyQM"
    qm4410_sim(vanish_after=requests, link=link)
    return str(link)


def until(condition, within=WITHIN_S, pause=0.02):
    """What `condition()` gives, once it is true, asked every `pause` s."""
    deadline = time.monotonic() + within
    while not (found := condition()):
        assert time.monotonic() < deadline, "not within the time allowed"
        time.sleep(pause)
    return found
