"""The demonstration run of `python -m qm4410`, and that importing never runs it."""

import runpy
import shutil
import subprocess
import sys

import pytest
from fakes import (
    RESTORE_FACTORY,
    SET_CURRENT,
    SET_VOLTAGE,
    FakeClock,
    FakePort,
    FakeSerialException,
    FakeSerialModule,
    echo_of,
    frame,
    identity_reply,
)

import qm4410

DEMO_PORT = "/dev/tty.usbserial-21320"
FAILED = "open serial port:" + DEMO_PORT + " failed!"
STEPS = [
    ("open", ()),
    ("print", "set work mode to remote controll"),
    ("set_work_mode", ("remote",)),
    ("set_new_addr", (6,)),
    ("set_voltage_max", (12.0,)),
    ("set_out_voltage", (1.222,)),
    ("set_out_current", (0.888,)),
    ("set_ouput_mode", ("on",)),
    ("sleep", (3,)),
    ("print", "------------ local -------------"),
    ("read_dev_status", ()),
    ("set_work_mode", ("local",)),
    ("set_ouput_mode", ("off",)),
    ("restore_factory", ()),
    ("close", ()),
    ("print", "qm4400 series closed!"),
]
METHODS = sorted({name for name, _ in STEPS} - {"print", "sleep"})

# `python -m qm4410` in a process whose driver finds another port in place of
# the demonstration's fixed one, so that what is at that path on this machine
# (a device, or another test's supply linked there) cannot matter. The driver
# reaches a port only through `serial` (to open it) and `subprocess` (lsof,
# to see who holds it), both looked up in its globals when it runs: those two
# are given the other path.
AT_THE_DEMONSTRATION_PORT = """
import runpy, subprocess, sys, types
import serial
import qm4410

fixed, instead = sys.argv[1:]
seen = lambda name: instead if name == fixed else name
qm4410.serial = types.SimpleNamespace(**{
    **vars(serial), "Serial": lambda port, *args, **kwargs: serial.Serial(seen(port), *args, **kwargs)})
qm4410.subprocess = types.SimpleNamespace(
    PIPE=subprocess.PIPE, run=lambda argv, **kwargs: subprocess.run([seen(a) for a in argv], **kwargs))
del sys.argv[1:]
runpy.run_module("qm4410", run_name="__main__", alter_sys=True)
"""


def run_python(cwd, *args):
    # Run outside the source tree so the installed package is the one found.
    return subprocess.run([sys.executable, *args], capture_output=True, text=True, timeout=120, cwd=cwd)


def demonstrate(port, cwd):
    """`python -m qm4410` with `port` at the demonstration's fixed port."""
    return run_python(cwd, "-c", AT_THE_DEMONSTRATION_PORT, DEMO_PORT, port)


def test_import_runs_nothing(tmp_path):
    assert not hasattr(qm4410, "opat_port") and not hasattr(qm4410, "qm4400")
    done = run_python(tmp_path, "-c", "import qm4410")
    assert (done.returncode, done.stdout, done.stderr) == (0, "", "")


def test_without_a_supply_at_its_port_the_demonstration_says_why_and_ends(tmp_path, capsys):
    nothing_there = str(tmp_path / "tty.usbserial-21320")
    qm4410.QM4410(nothing_there).open()
    reason = capsys.readouterr().out  # what open prints for a port that does not exist
    done = demonstrate(nothing_there, tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout == reason + FAILED + "\n"
    if shutil.which("lsof"):
        lines = done.stdout.splitlines()
        assert len(lines) == 2 and lines[0].startswith("Cannot open serial port")


def test_the_demonstration_takes_the_supply_at_its_port_through_every_command(qm4410_port, tmp_path):
    done = demonstrate(qm4410_port, tmp_path)
    assert done.returncode == 0, done.stderr
    reply = lambda request: str(list(echo_of(request)))  # noqa: E731
    assert done.stdout.splitlines() == [
        "set work mode to remote controll",
        "set voltage, read:" + reply(frame(1, SET_VOLTAGE)),
        "set current, read:" + reply(frame(1, SET_CURRENT)),
        "------------ local -------------",
        "Restore FACTORY:" + reply(frame(1, RESTORE_FACTORY)),
        "qm4400 series closed!",
    ]


@pytest.fixture
def recorded(monkeypatch):
    """Replaces the driver's methods, time and print with recorders sharing one log."""
    log = []
    fake_time = FakeClock(log)
    monkeypatch.setattr(qm4410, "time", fake_time)
    monkeypatch.setattr("builtins.print", lambda *args, **kwargs: log.append(("print",) + args + tuple(kwargs)))
    results = {"open": True}

    def recorder(name):
        def method(self, *args, **kwargs):
            log.append((name, self, args, kwargs))
            if name in results:
                if isinstance(results[name], BaseException):
                    raise results[name]
                return results[name]
            return False

        return method

    for name in METHODS:
        monkeypatch.setattr(qm4410.QM4410, name, recorder(name))
    return log, results


def simplified(log, ns):
    steps = []
    for entry in log:
        if entry[0] == "print":
            assert len(entry) == 2, f"print called with {entry[1:]}"
            steps.append(entry)
        elif entry[0] == "sleep":
            steps.append(("sleep", (entry[1],)))
        else:
            name, driver, args, kwargs = entry
            assert driver is ns["qm4400"] and kwargs == {}
            steps.append((name, args))
    return steps


def test_the_demonstration_s_steps_in_order(recorded):
    """Every call, printed line and pause, with the arguments' types, and the globals it leaves."""
    log, _ = recorded
    ns = {}
    assert qm4410._run_demonstration(ns) is None
    steps = simplified(log, ns)
    assert steps == STEPS
    typed = [
        tuple(type(a) for a in args) for name, args in steps if name in ("set_new_addr", "set_voltage_max", "sleep")
    ]
    assert typed == [(int,), (float,), (int,)]
    assert ns["opat_port"] == DEMO_PORT
    assert isinstance(ns["qm4400"], qm4410.QM4410) and ns["qm4400"].port == DEMO_PORT


@pytest.mark.parametrize("verdict", [False, None, 0, ""])
def test_failed_open_sends_nothing(recorded, verdict):
    log, results = recorded
    results["open"] = verdict
    ns = {"unrelated": 1}
    qm4410._run_demonstration(ns)
    assert simplified(log, ns) == [("open", ()), ("print", FAILED)]
    assert ns["opat_port"] == DEMO_PORT and ns["unrelated"] == 1


def test_an_exception_ends_the_run(recorded):
    log, results = recorded
    results["set_out_voltage"] = FakeSerialException("write failed")
    with pytest.raises(FakeSerialException):
        qm4410._run_demonstration({})
    assert [entry[0] for entry in log][-1] == "set_out_voltage"
    assert "close" not in [entry[0] for entry in log]


def test_launcher_leaves_the_globals(recorded):
    log, results = recorded
    results["open"] = False
    ns = runpy.run_module("qm4410", run_name="__main__")
    assert ns["opat_port"] == DEMO_PORT and isinstance(ns["qm4400"], qm4410.QM4410)
    assert simplified(log, ns)[-1] == ("print", FAILED)


def echoing_supply(request):
    """Answers every request: identity for 0x31, an echo of the request otherwise."""
    if request[2] == 0x31:
        return identity_reply("4411", addr=7)
    return frame(7, request[2], request[3:25])


def test_the_demonstration_s_requests_and_printed_replies(monkeypatch, capsys):
    """On a fake supply that answers everything (as address 7): the bytes of
    each request, the 3 s pause between switching on and reading, what is printed."""
    log = []
    serial = FakeSerialModule(make_port=lambda: FakePort(echoing_supply, log=log))
    monkeypatch.setattr(qm4410, "serial", serial)
    monkeypatch.setattr(qm4410, "time", FakeClock(log))
    monkeypatch.setattr(qm4410.QM4410, "check_port_available", lambda self: True)
    ns = {}
    qm4410._run_demonstration(ns)

    [port] = serial.ports
    assert ns["qm4400"].ser is port and port.close_calls == 1 and log[-1][0] == "close"
    requests = [entry[1] for entry in log if entry[0] == "write"]
    assert [r[2] for r in requests] == [0x31, 0x20, 0x25, 0x22, 0x23, 0x24, 0x21, 0x26, 0x20, 0x21, 0x32]
    assert [r[1] for r in requests] == [255] + [7] * 10
    le = lambda value: list(value.to_bytes(4, "little"))  # noqa: E731
    assert [list(r[3:7]) for r in requests[1:7]] == [
        [1, 0, 0, 0],
        [6, 0, 0, 0],
        le(12000),
        le(1222),
        le(888),
        [1, 0, 0, 0],
    ]
    assert [r[3] for r in requests[8:10]] == [0, 0]

    pauses = [i for i, entry in enumerate(log) if entry[0] == "sleep" and entry[1] != 0.01]
    assert [log[i][1] for i in pauses] == [3]
    writes = [i for i, entry in enumerate(log) if entry[0] == "write"]
    assert writes[6] < pauses[0] < writes[7]

    reply = lambda r: str(list(echoing_supply(r)))  # noqa: E731
    assert capsys.readouterr().out.splitlines() == [
        "set work mode to remote controll",
        "set voltage, read:" + reply(requests[4]),
        "set current, read:" + reply(requests[5]),
        "------------ local -------------",
        "Restore FACTORY:" + reply(requests[10]),
        "qm4400 series closed!",
    ]
