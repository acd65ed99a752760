"""Starts qm4410-sim for the tests: the binary named by QM4410_SIM, else the
one on PATH. A missing binary fails the tests instead of skipping them, so a
broken install cannot pass unnoticed."""

import os
import shutil

import pytest

from sim_process import Sim


@pytest.fixture(scope="session")
def sim_binary():
    binary = os.environ.get("QM4410_SIM") or shutil.which("qm4410-sim")
    if not binary:
        pytest.fail("qm4410-sim not found: install the project or set QM4410_SIM")
    return binary


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
