"""open and close with a fake serial layer and a fake supply."""

import builtins
import inspect
import threading
import types

import pytest
from fakes import FakeClock, FakePort, FakeSerialException, FakeSerialModule, answers_identity, frame

import qm4410

PORT = "/dev/ttyUSB3"
BUSY = "serial port already opened!, Please close and try" + " " * 23 + "again!"
OPEN_SETTINGS = {"timeout": 50, "stopbits": 1, "exclusive": True}
LINE_SETTINGS = ((PORT, 4800, 8, "N"), OPEN_SETTINGS)
INITIAL_IDENTITY = {"model": "", "SN": "", "soft_version": 0}


@pytest.fixture
def serial(monkeypatch):
    fake = FakeSerialModule(make_port=lambda: FakePort(answers_identity("4410")))
    monkeypatch.setattr(qm4410, "serial", fake)
    monkeypatch.setattr(qm4410, "time", FakeClock())
    return fake


def make_driver(*verdicts, port=PORT):
    """A driver whose availability check answers the given verdicts in turn (then True)."""
    drv = qm4410.QM4410(port)
    drv.checks = []
    answers = list(verdicts)

    def check():
        drv.checks.append(True)
        answer = answers.pop(0) if answers else True
        if isinstance(answer, BaseException):
            raise answer
        return answer

    drv.check_port_available = check
    return drv


def identity_request(addr):
    return frame(addr, 0x31)


def supply(serial, model):
    serial.make_port = lambda: FakePort(answers_identity(model) if model is not None else None)


def test_docstring():
    doc = inspect.cleandoc(qm4410.QM4410.open.__doc__)
    assert doc.splitlines() == ["open the serial port", ":return bool: True if open sucess, else False"]


@pytest.mark.parametrize("verdict", [False, 0, "", None])
def test_busy_port_is_left_alone(serial, verdict, capsys):
    drv = make_driver(verdict)
    assert drv.open() is False
    assert capsys.readouterr().out == BUSY + "\n"
    assert serial.calls == []
    assert not hasattr(drv, "ser")
    assert drv.show_device_version() == INITIAL_IDENTITY


@pytest.mark.parametrize("model", ["4410", "4411"])
def test_accepted_model(serial, model, capsys):
    supply(serial, model)
    drv = make_driver()
    assert drv.open() is True
    assert capsys.readouterr().out == ""
    assert serial.calls == [LINE_SETTINGS]
    ((args, kwargs),) = serial.calls
    assert [type(v) for v in args + tuple(kwargs.values())] == [str, int, int, str, int, int, bool]
    [port] = serial.ports
    assert drv.ser is port and port.close_calls == 0
    assert port.writes() == [identity_request(255)]
    assert drv.show_device_version()["model"] == model


@pytest.mark.parametrize(
    "port, is_url",
    [
        ("rfc2217://labpi:4001?ign_set_control", True),
        ("RFC2217://labpi:4001", True),
        ("loop://", True),
        ("spy:///dev/ttyUSB3?color", True),
        ("hwgrep://0403:6001&skip_busy", True),
        ("alt:///dev/ttyUSB3?class=PosixPollSerial", True),
        ("my_handler://anything", True),  # one registered with pyserial
        ("/tmp/odd://name", True),  # as serial_for_url tells them apart
        ("/dev/ttyUSB3", False),
        ("COM3", False),
        ("rfc2217:/labpi", False),
        ("", False),
    ],
)
def test_urls_open_through_pyserials_handlers_and_devices_as_devices(serial, port, is_url):
    drv = make_driver(port=port)
    assert drv.open() is True
    expected = [((port, 4800, 8, "N"), OPEN_SETTINGS)]
    assert (serial.url_calls, serial.calls) == ((expected, []) if is_url else ([], expected))


@pytest.mark.parametrize(
    "url, suggested",
    [
        ("socket://labpi:4001", "rfc2217://labpi:4001"),
        ("SOCKET://10.0.0.7:23?logging=debug", "rfc2217://10.0.0.7:23?logging=debug"),
    ],
)
def test_raw_socket_is_refused_naming_the_url_that_works(serial, url, suggested, capsys):
    drv = make_driver(port=url)
    assert drv.open() is False
    [line] = capsys.readouterr().out.splitlines()
    assert line.startswith(f"Cannot open serial port {url}: ") and line.endswith(f" open {suggested}")
    assert serial.url_calls == serial.calls == []
    assert not hasattr(drv, "ser")


@pytest.mark.parametrize("model", ["4412", "4400", "4401", "0000", "    ", None])  # None: no answer
def test_other_or_silent_supply_is_rejected(serial, model, capsys):
    supply(serial, model)
    drv = make_driver()
    assert drv.open() is False
    assert capsys.readouterr().out == ""
    [port] = serial.ports
    assert drv.ser is port and port.close_calls == 1


def test_silent_supply_after_an_accepted_one_is_rejected(serial, capsys):
    serial.make_port = lambda: FakePort(answers_identity("4411", addr=5))
    drv = make_driver()
    assert drv.open() is True
    drv.close()
    supply(serial, None)
    assert drv.open() is False
    assert capsys.readouterr().out == ""
    first, second = serial.ports
    assert drv.ser is second and second.close_calls == 1
    assert drv.show_device_version() == INITIAL_IDENTITY
    assert drv._QM4410__addr == 5
    assert second.writes()[0] == identity_request(5)


def test_identity_is_forgotten_only_once_the_port_is_open(serial):
    serial.make_port = lambda: FakePort(answers_identity("4410", addr=9))
    drv = make_driver(True, False, True)
    assert drv.open() is True
    known = drv.show_device_version()
    drv.close()
    assert drv.open() is False  # busy
    serial.error = FakeSerialException("gone")
    assert drv.open() is False  # the port does not open
    assert drv.show_device_version() == known and drv._QM4410__addr == 9


class SubclassedSerialError(FakeSerialException):
    pass


@pytest.mark.parametrize(
    "error, prefix",
    [
        (FakeSerialException("[Errno 2] could not open port"), "Cannot open serial port"),
        (SubclassedSerialError("port busy"), "Cannot open serial port"),
        (ValueError("Not a valid baudrate"), "unexpected "),
        (OSError(16, "Device or resource busy"), "unexpected "),
    ],
)
@pytest.mark.parametrize("where", ["check", "serial"])
def test_failure_before_the_port_opens(serial, error, prefix, where, capsys):
    drv = make_driver(error if where == "check" else True)
    serial.error = error if where == "serial" else None
    assert drv.open() is False
    assert capsys.readouterr().out == prefix + str(error) + "\n"
    assert not hasattr(drv, "ser")
    assert serial.ports == []


def test_windows_trial_open_error_lands_in_open(serial, monkeypatch, capsys):
    monkeypatch.setattr(qm4410, "platform", types.SimpleNamespace(system=lambda: "Windows"))
    drv = qm4410.QM4410("COM3")
    serial.error = TypeError("trial open failed")
    assert drv.open() is False
    assert capsys.readouterr().out == "unexpected trial open failed\n"
    assert serial.calls == [(("COM3",), {})]


def test_failed_reopen_keeps_the_earlier_port(serial, capsys):
    drv = make_driver()
    assert drv.open() is True
    earlier = drv.ser
    serial.error = FakeSerialException("no such port")
    assert drv.open() is False
    assert capsys.readouterr().out == "Cannot open serial port" + "no such port\n"
    assert drv.ser is earlier and earlier.close_calls == 0


@pytest.fixture
def printed(monkeypatch):
    """Records printed lines next to port events, in one log."""
    log = []
    real_print = builtins.print

    def recording_print(*args, **kwargs):
        log.append(("print",) + args)
        real_print(*args, **kwargs)

    monkeypatch.setattr(builtins, "print", recording_print)
    return log


@pytest.mark.parametrize(
    "error, prefix",
    [
        (FakeSerialException("write timeout"), "Cannot open serial port"),
        (ValueError("frame refused"), "unexpected "),
    ],
)
@pytest.mark.parametrize("close_error", [None, OSError(9, "Bad file descriptor"), FakeSerialException("stuck")])
def test_failure_after_the_port_opened_closes_it(serial, printed, error, prefix, close_error, capsys):
    def make_port():
        port = FakePort(answers_identity("4410"), log=printed, close_error=close_error)
        port.write_error = error
        return port

    serial.make_port = make_port
    drv = make_driver()
    assert drv.open() is False
    assert capsys.readouterr().out == prefix + str(error) + "\n"
    [port] = serial.ports
    assert drv.ser is port and port.close_calls == 1
    assert [event[0] for event in printed if event[0] != "inWaiting"] == ["write", "close", "print"]


def test_failure_of_the_identity_method_closes_the_port(serial, capsys):
    drv = make_driver()

    def read_device_version():
        raise LookupError("identity read failed")

    drv._QM4410__read_device_version = read_device_version
    assert drv.open() is False
    assert capsys.readouterr().out == "unexpected identity read failed\n"
    [port] = serial.ports
    assert drv.ser is port and port.close_calls == 1


def test_rejected_model_whose_close_fails(serial, capsys):
    serial.make_port = lambda: FakePort(answers_identity("9999"), close_error=OSError("close failed"))
    drv = make_driver()
    assert drv.open() is False
    assert capsys.readouterr().out == "unexpected close failed\n"


def interrupting(request):
    raise KeyboardInterrupt


@pytest.mark.parametrize("where", ["check", "serial", "identity"])
def test_interrupt_passes_through(serial, where, capsys):
    drv = make_driver(KeyboardInterrupt() if where == "check" else True)
    if where == "serial":
        serial.error = KeyboardInterrupt()
    if where == "identity":
        serial.make_port = lambda: FakePort(interrupting)
    with pytest.raises(KeyboardInterrupt):
        drv.open()
    assert capsys.readouterr().out == ""


def test_second_open_while_connected_checks_again(serial, capsys):
    drv = make_driver(True, False)
    assert drv.open() is True
    port = drv.ser
    assert drv.open() is False
    assert len(drv.checks) == 2
    assert capsys.readouterr().out == BUSY + "\n"
    assert drv.ser is port and port.close_calls == 0 and len(serial.ports) == 1


def test_close_before_any_open(capsys):
    drv = qm4410.QM4410(PORT)
    with pytest.raises(AttributeError, match="ser"):
        drv.close()
    assert capsys.readouterr().out == ""


def test_close_after_open(serial, capsys):
    drv = make_driver()
    assert drv.open() is True
    port = drv.ser
    assert drv.close() is None
    assert drv.ser is port and port.close_calls == 1
    drv.close()
    assert port.close_calls == 2
    assert capsys.readouterr().out == ""


def test_close_lets_port_errors_through(serial):
    drv = make_driver()
    drv.open()
    drv.ser.close_error = FakeSerialException("device vanished")
    with pytest.raises(FakeSerialException, match="device vanished"):
        drv.close()


def no_lsof(*args, **kwargs):
    raise FileNotFoundError("no lsof")


@pytest.mark.parametrize(
    "free, model, serial_error, reason",
    [
        (False, "4410", None, BUSY),
        (no_lsof, "4410", None, "检查端口时出错: no lsof\n" + BUSY),  # the check's own line comes first
        (True, "4410", FakeSerialException("gone"), "Cannot open serial portgone"),
        (True, None, None, f"no reply from a supply on {PORT}"),
        (True, "9999", None, f"the device on {PORT} reports model '9999', not 4410 or 4411"),
    ],
)
def test_with_block_refused_raises_the_reason_open_printed(
    serial, monkeypatch, capsys, free, model, serial_error, reason
):
    supply(serial, model)
    serial.error = serial_error
    if callable(free):  # the real check, failing
        monkeypatch.setattr(qm4410, "subprocess", types.SimpleNamespace(run=free, PIPE=-1))
        drv = qm4410.QM4410(PORT)
    else:
        drv = make_driver(free)
    with pytest.raises(ConnectionError) as refusal:
        with drv:
            pytest.fail("the block ran")
    assert str(refusal.value) == reason
    # open() prints as it always does; when it is silent, the text says why.
    silent = model != "4410"
    assert capsys.readouterr().out == ("" if silent else reason + "\n")


def test_with_block_closes_the_port_however_it_ends(serial):
    drv = make_driver()
    with pytest.raises(LookupError):
        with drv as supply:
            assert supply is drv and drv.ser.close_calls == 0
            raise LookupError
    assert drv.ser.close_calls == 1


def test_with_block_reason_is_only_what_its_own_open_printed(serial, capsys):
    # Another thread's driver prints while this open() waits for its check:
    # that line is not this refusal's reason.
    supply(serial, None)
    other = make_driver(False)
    drv = qm4410.QM4410(PORT)

    def check():
        thread = threading.Thread(target=other.open)
        thread.start()
        thread.join()
        return True

    drv.check_port_available = check
    with pytest.raises(ConnectionError, match="^no reply from a supply on "):
        with drv:
            pass
    assert capsys.readouterr().out == BUSY + "\n"
