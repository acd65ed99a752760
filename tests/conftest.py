"""Shared fixtures: a driver on a fake port with a recording clock."""

import signal

import pytest
from fakes import FakeClock, FakePort
from hypothesis import HealthCheck, settings

import qm4410

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


@pytest.fixture(autouse=True, scope="session")
def state_directory(tmp_path_factory):
    """The servers the tests start keep their supplies' state here, never in
    the user's state directory."""
    with pytest.MonkeyPatch.context() as patch:
        patch.setenv("XDG_STATE_HOME", str(tmp_path_factory.mktemp("state")))
        yield
