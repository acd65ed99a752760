"""Starts qm4410-sim for the tests: the binary named by QM4410_SIM, else the
one on PATH. A missing binary fails the tests instead of skipping them, so a
broken install cannot pass unnoticed."""

import os
import shutil
import signal
import subprocess

import pytest
import serial


@pytest.fixture(scope="session")
def sim_binary():
    binary = os.environ.get("QM4410_SIM") or shutil.which("qm4410-sim")
    if not binary:
        pytest.fail("qm4410-sim not found: install the project or set QM4410_SIM")
    return binary


class Sim:
    """One running simulator; stderr goes to a file so -v cannot block it."""

    def __init__(self, binary, args, log_path):
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen([binary, *args], stdout=subprocess.PIPE, stderr=log, text=True)
        self.port = self.proc.stdout.readline().strip()
        assert self.port.startswith("/dev/"), f"first line was {self.port!r}, log: {self.log()}"

    def connect(self):
        return serial.Serial(self.port, 4800, timeout=1)

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def stop(self, number=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            self.proc.send_signal(number)
        return self.proc.wait(timeout)


@pytest.fixture
def start_sim(sim_binary, tmp_path):
    started = []

    def start(*args):
        sim = Sim(sim_binary, [str(a) for a in args], tmp_path / f"sim{len(started)}.log")
        started.append(sim)
        return sim

    yield start
    for sim in started:
        if sim.proc.poll() is None:
            sim.proc.kill()
            sim.proc.wait()


@pytest.fixture
def port(start_sim):
    """A client connection to a simulator with default settings."""
    with start_sim().connect() as connection:
        yield connection
