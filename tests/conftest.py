"""Shared fixtures: a driver on a fake port with a recording clock. The
suite's rules for the programs it runs that pip cannot install, and for
skips where none may be."""

import os
import shutil
import signal
import stat
import tempfile
from pathlib import Path

import pytest
from fakes import FakeClock, FakePort
from hypothesis import HealthCheck, settings

import qm4410
from qm4410.supply import served

# Hypothesis fails an example that takes longer than 200 ms, and a run whose
# data takes long to draw: on a busy machine those measure the machine. The
# tests bound their own waits.
settings.register_profile("busy machine", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.load_profile("busy machine")

# A suite started in the background of a script, or under nohup, inherits
# these signals ignored, and so would every process it starts: the tests of
# what a signal does would see nothing happen. They start from the defaults,
# as at a terminal.
for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGALRM):
    if signal.getsignal(number) == signal.SIG_IGN:
        signal.signal(number, signal.default_int_handler if number == signal.SIGINT else signal.SIG_DFL)


@pytest.fixture(autouse=True, scope="session")
def served_records(tmp_path_factory):
    """The folder where `qm4410 serve` records what it serves, the suite's
    own: for this process and every server it starts."""
    with pytest.MonkeyPatch.context() as patch:
        folder = tmp_path_factory.mktemp("runtime")
        patch.setenv(served.FOLDER_VARIABLE, str(folder))
        yield folder


@pytest.fixture
def log():
    return []


@pytest.fixture
def fake_time(monkeypatch, log):
    """The driver's clock: sleeps are logged, in order with the port's calls, and take no time."""
    fake = FakeClock(log)
    monkeypatch.setattr(qm4410, "time", fake)
    return fake


@pytest.fixture
def port(log):
    return FakePort(log=log)


@pytest.fixture
def drv(port, fake_time):
    """A driver at address 1 on the fake port, with the fake clock in place."""
    d = qm4410.QM4410("/dev/ttyFAKE0")
    d._QM4410__addr = 1
    d.ser = port
    return d


# Programs some tests run that pip cannot install. Debian puts some in sbin,
# which a user's PATH may lack.
for folder in ("/usr/local/sbin", "/usr/sbin"):
    if folder not in os.environ.get("PATH", "").split(os.pathsep):
        os.environ["PATH"] = os.environ.get("PATH", "") + os.pathsep + folder


def debian_packages() -> dict[str, str]:
    """programs.txt: each program some tests run, with the Debian package that has it."""
    lines = (Path(__file__).parent / "programs.txt").read_text().splitlines()
    return dict(line.split() for line in lines if line.strip() and not line.startswith("#"))


STAND_INS = "qm4410-stand-ins."
STAND_IN = """#!/bin/sh
# Stands in for {program}, which this machine lacks: tells that a test ran it,
# and answers nothing.
echo {program} >>"$QM4410_MISSING_PROGRAMS_RAN"
exit 1
"""
SEARCH_PATH = os.pathsep.join(folder for folder in os.environ["PATH"].split(os.pathsep) if STAND_INS not in folder)
MISSING = {
    program: package for program, package in debian_packages().items() if not shutil.which(program, path=SEARCH_PATH)
}


def pytest_configure(config):
    """Where a program is missing, a stand-in takes its place on PATH for
    this process and every process it starts (pytest-xdist's workers too): a
    test during which one ran (lsof at every opening of a port by the driver,
    say) is skipped, and says what to install. The rest run as they are.
    Each process has a folder of its own, where the stand-ins tell it what
    ran."""
    if not MISSING:
        return
    config.stand_ins = Path(tempfile.mkdtemp(prefix=STAND_INS))
    os.environ["QM4410_MISSING_PROGRAMS_RAN"] = str(config.stand_ins / "ran")
    if SEARCH_PATH == os.environ["PATH"]:  # not yet there, from the process that started this one
        for program in MISSING:
            path = config.stand_ins / program
            path.write_text(STAND_IN.format(program=program))
            path.chmod(path.stat().st_mode | stat.S_IXUSR)
        os.environ["PATH"] += os.pathsep + str(config.stand_ins)


def pytest_unconfigure(config):
    if hasattr(config, "stand_ins"):
        shutil.rmtree(config.stand_ins, ignore_errors=True)


def missing_programs_run() -> set[str]:
    """The missing programs whose stand-ins ran since the last call."""
    try:
        with open(os.environ["QM4410_MISSING_PROGRAMS_RAN"], "r+") as ran:
            programs = set(ran.read().split())
            ran.truncate(0)
    except FileNotFoundError:
        return set()
    return programs


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    if MISSING and (ran := missing_programs_run()):
        report = outcome.get_result()
        report.outcome = "skipped"
        report.longrepr = (
            str(item.path),
            item.location[1],
            "Skipped: "
            + "; ".join(
                f"runs {program}, which is not installed (Debian: apt-get install {MISSING[program]})"
                for program in sorted(ran)
            ),
        )


# Where every program the suite runs is installed (CI: .ci/run installs them
# first), QM4410_NO_SKIP=1 makes a skip fail the run: a skip there would be
# a test that stopped testing anything, unseen.
def pytest_sessionfinish(session):
    controller = not hasattr(session.config, "workerinput")  # not one of pytest-xdist's workers
    if os.environ.get("QM4410_NO_SKIP") == "1" and controller and skipped(session.config):
        session.exitstatus = pytest.ExitCode.TESTS_FAILED


def pytest_terminal_summary(terminalreporter, config):
    if os.environ.get("QM4410_NO_SKIP") == "1" and (reports := skipped(config)):
        terminalreporter.section("skipped, where QM4410_NO_SKIP=1 allows none: the run fails", red=True)
        for report in reports:
            reason = report.longrepr[2] if isinstance(report.longrepr, tuple) else str(report.longrepr)
            terminalreporter.line(f"{report.nodeid}: {reason}")


def skipped(config) -> list:
    """The reports of the tests and modules skipped so far."""
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    return reporter.stats.get("skipped", []) if reporter else []


@pytest.fixture(autouse=True, scope="session")
def state_directory(tmp_path_factory):
    """The servers the tests start keep their supplies' state here, never in
    the user's state directory."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_STATE_HOME", str(tmp_path_factory.mktemp("state")))
        yield
