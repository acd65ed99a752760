"""The `qm4410` command's fixtures: the command run in this process
(`cli`), which is most tests, supplies and lines in a given state, and a
port held by another process. running.py has the exit statuses and runs
the command as the installed program, in a process of its own, where the
process is the point. Virtual supplies come from the package's own fixtures
(qm4410_sim, qm4410_port)."""

import contextlib
import os
import subprocess
import sys

import pytest
from running import Result

from qm4410 import Supply
from qm4410.cli import main


@pytest.fixture
def cli(capsys, monkeypatch):
    """Runs the command in this process: cli("status", "--port", port) is a
    Result. $QM4410_PORT is unset, as for a user who never set it."""
    monkeypatch.delenv("QM4410_PORT", raising=False)

    def run(*args: str) -> Result:
        capsys.readouterr()  # what the test printed before is not the command's
        try:
            status = main(list(args))
        except SystemExit as exit:  # argparse's usage errors, --help, --version
            status = exit.code
        out, err = capsys.readouterr()
        return Result(status, out, err)

    return run


@pytest.fixture
def powered_port(qm4410_port) -> str:
    """A virtual supply under remote control with its output on at 5 V, 1 A."""
    with Supply(qm4410_port) as supply:
        supply.remote = True
        supply.voltage, supply.current_limit = 5.0, 1.0
        supply.output = True
    return qm4410_port


class SilentLine:
    """A pseudo-terminal whose far end nobody answers, but which tells what
    was sent to it."""

    def __init__(self) -> None:
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def received(self) -> bytes:
        os.set_blocking(self.master, False)
        data = b""
        # BlockingIOError: nothing more waits; EIO: nobody has the far end open.
        with contextlib.suppress(OSError):
            while chunk := os.read(self.master, 1024):
                data += chunk
        return data


@pytest.fixture
def silent_line():
    line = SilentLine()
    yield line
    os.close(line.master)


@pytest.fixture
def hold():
    """hold(port): another process holds `port` open until the test ends,
    as a terminal program left running would."""
    holders = []

    def start(port: str) -> int:
        holder = subprocess.Popen(
            [
                sys.executable,
                "-c",
                "import serial, sys; s = serial.Serial(sys.argv[1]); print(flush=True); sys.stdin.read()",
                port,
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        holders.append(holder)
        assert holder.stdout.readline() == "\n"  # it has the port open
        return holder.pid

    yield start
    for holder in holders:
        holder.communicate(timeout=10)
