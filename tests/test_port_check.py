"""check_port_available: trial open on Windows, lsof everywhere else."""

import inspect
import types

import pytest
from fakes import FakePort, FakeSerialException, FakeSerialModule

import qm4410

PORT = "/dev/ttyUSB7"
PIPE = object()  # a sentinel: the driver must pass subprocess.PIPE itself


class FakeSubprocess:
    PIPE = PIPE

    def __init__(self, stdout=b"", stderr=b"", returncode=0, error=None):
        self.result = types.SimpleNamespace(stdout=stdout, stderr=stderr, returncode=returncode)
        self.error = error
        self.calls = []

    def run(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.error is not None:
            raise self.error
        return self.result


@pytest.fixture
def system(monkeypatch):
    """Sets what platform.system() answers; returns the fakes of serial and subprocess."""
    fakes = types.SimpleNamespace(serial=FakeSerialModule(), subprocess=FakeSubprocess())
    monkeypatch.setattr(qm4410, "serial", fakes.serial)
    monkeypatch.setattr(qm4410, "subprocess", fakes.subprocess)

    def set_name(name):
        monkeypatch.setattr(qm4410, "platform", types.SimpleNamespace(system=lambda: name))
        return fakes

    return set_name


@pytest.fixture
def driver():
    drv = qm4410.QM4410(PORT)
    before = dict(vars(drv))
    yield drv
    assert vars(drv) == before, "check_port_available changed the driver object"


def test_docstring():
    doc = inspect.cleandoc(qm4410.QM4410.check_port_available.__doc__)
    assert doc.splitlines() == ["Check whether the port is available", ":return bool: True if available, else False"]


@pytest.mark.parametrize("name", ["Windows", "WINDOWS", "windows"])
def test_windows_free_port_is_opened_and_closed_once(system, driver, name, capsys):
    fakes = system(name)
    assert driver.check_port_available() is True
    assert fakes.serial.calls == [((PORT,), {})]
    assert [port.close_calls for port in fakes.serial.ports] == [1]
    assert fakes.subprocess.calls == []
    assert capsys.readouterr().out == ""


class SubclassedSerialError(FakeSerialException):
    pass


@pytest.mark.parametrize("error_class", [FakeSerialException, SubclassedSerialError])
@pytest.mark.parametrize("where", ["open", "close"])
def test_windows_serial_error_means_taken(system, driver, error_class, where, capsys):
    fakes = system("Windows")
    if where == "open":
        fakes.serial.error = error_class("could not open port COM3: access denied")
    else:
        fakes.serial.make_port = lambda: FakePort(close_error=error_class("close failed"))
    assert driver.check_port_available() is False
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("error", [ValueError("bad port name"), OSError(5, "I/O error"), KeyboardInterrupt()])
def test_windows_other_errors_leave_the_check(system, driver, error, capsys):
    system("windows").serial.error = error
    with pytest.raises(type(error)):
        driver.check_port_available()
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name", ["Linux", "Darwin", "Windows NT", "win32", " windows", ""])
def test_other_systems_run_lsof_without_a_shell(system, driver, name):
    fakes = system(name)
    driver.check_port_available()
    assert fakes.serial.calls == []
    assert len(fakes.subprocess.calls) == 1
    args, kwargs = fakes.subprocess.calls[0]
    assert args == (["lsof", "--", PORT],) and type(args[0]) is list
    assert kwargs == {"stdout": PIPE, "stderr": PIPE}
    assert kwargs["stdout"] is PIPE and kwargs["stderr"] is PIPE


@pytest.mark.parametrize(
    "stdout, stderr, returncode, free",
    [
        (b"", b"", 1, True),
        (b"", b"lsof: status error on /dev/ttyUSB7: No such file or directory\n", 1, True),
        (b"", b"lsof: WARNING: can't stat() fuse file system\n", 0, True),
        (b"COMMAND PID USER FD TYPE\npython 42 root 3u CHR\n", b"", 0, False),
        (b"x", b"", 1, False),
        (b"\n", b"noise", 0, False),
    ],
)
def test_lsof_output_judged_by_stdout_only(system, driver, stdout, stderr, returncode, free, capsys):
    fakes = system("Linux")
    fakes.subprocess.result = types.SimpleNamespace(stdout=stdout, stderr=stderr, returncode=returncode)
    assert driver.check_port_available() is free
    assert capsys.readouterr().out == ""


class ExplodingResult:
    @property
    def stdout(self):
        raise RuntimeError("output unreadable")


@pytest.mark.parametrize(
    "error",
    [
        FileNotFoundError(2, "No such file or directory", "lsof"),
        PermissionError(13, "Permission denied"),
        RuntimeError("boom"),
        FakeSerialException("odd"),
    ],
)
def test_lsof_failure_prints_and_answers_false(system, driver, error, capsys):
    system("Linux").subprocess.error = error
    assert driver.check_port_available() is False
    assert capsys.readouterr().out == "检查端口时出错: " + str(error) + "\n"


def test_unreadable_lsof_result_prints_and_answers_false(system, driver, capsys):
    system("Darwin").subprocess.result = ExplodingResult()
    assert driver.check_port_available() is False
    assert capsys.readouterr().out == "检查端口时出错: output unreadable\n"


def test_lsof_interrupt_is_not_handled(system, driver, capsys):
    system("Linux").subprocess.error = KeyboardInterrupt()
    with pytest.raises(KeyboardInterrupt):
        driver.check_port_available()
    assert capsys.readouterr().out == ""


@pytest.fixture
def url_system(system, monkeypatch):
    """As `system`, but with the real pyserial, whose URL handlers the check
    asks for the device behind a URL; hwgrep:// finds one port, PORT."""
    import serial
    from serial.tools import list_ports

    def set_name(name):
        fakes = system(name)
        monkeypatch.setattr(qm4410, "serial", serial)
        monkeypatch.setattr(list_ports, "grep", lambda regexp: iter([(PORT, "USB serial", "USB VID:PID=0403:6001")]))
        return fakes

    return set_name


def checked(url):
    drv = qm4410.QM4410(url)
    before = dict(vars(drv))
    verdict = drv.check_port_available()
    assert vars(drv) == before
    return verdict


@pytest.mark.parametrize("name", ["Linux", "Windows"])
@pytest.mark.parametrize(
    "url",
    [
        "rfc2217://labpi:4001?ign_set_control",
        "RFC2217://labpi:4001",
        "socket://labpi:4001",
        "loop://",
        # Nothing pyserial can open: open() says why.
        "nosuchscheme://labpi",
        "spy://" + PORT + "?no-such-option",
    ],
)
def test_url_with_no_device_here_is_free_and_never_reaches_lsof(url_system, name, url, capsys):
    fakes = url_system(name)
    assert checked(url) is True
    assert fakes.subprocess.calls == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize(
    "url", ["spy://" + PORT, "spy://" + PORT + "?color&all", "alt://" + PORT + "?class=PosixPollSerial", "hwgrep://USB"]
)
@pytest.mark.parametrize("name", ["Linux", "Windows"])
def test_url_of_a_local_device_checks_that_device(url_system, url, name, capsys):
    fakes = url_system(name)
    if name == "Linux":
        assert checked(url) is True
        assert [args for args, _ in fakes.subprocess.calls] == [(["lsof", "--", PORT],)]
    else:  # the trial open of a device that is not there
        assert checked(url) is False
        assert fakes.subprocess.calls == []
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("name, free", [("-p1", True), ("+D/nonexistent", True), (None, False)])
def test_lsof_reads_any_port_name_as_a_file(monkeypatch, capsys, name, free):
    """Options end before the name: "-p1" would ask for process 1's files
    (busy), "+D" would walk a tree. A port of None reaches lsof as any name
    does, and subprocess refuses it."""
    monkeypatch.setattr(qm4410, "platform", types.SimpleNamespace(system=lambda: "Linux"))
    drv = qm4410.QM4410("x")
    drv.port = name
    assert drv.check_port_available() is free
    out = capsys.readouterr().out
    assert out == "" if free else out.startswith("检查端口时出错: ") and "NoneType" in out
