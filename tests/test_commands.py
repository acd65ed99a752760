"""Device commands: request frames, results, printed lines and refused arguments."""

from fractions import Fraction
from unittest import mock

import pytest
from fakes import REQUEST_WORDS, TEMPLATE, frame
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from qm4410 import QM4410


def wire(head, last):
    """A request frame written out in hex: the leading bytes, zeros up to byte 24, the checksum."""
    lead = bytes.fromhex(head)
    return lead + bytes(25 - len(lead)) + bytes.fromhex(last)


FRAMES = [
    (lambda d: d.set_work_mode(), wire("AA 01 20 01", "CC")),
    (lambda d: d.set_work_mode("remote"), wire("AA 01 20 01", "CC")),
    (lambda d: d.set_work_mode(mode="local"), wire("AA 01 20 00", "CB")),
    (lambda d: d.set_ouput_mode("on"), wire("AA 01 21 01", "CD")),
    (lambda d: d.set_ouput_mode(), wire("AA 01 21 00", "CC")),
    (lambda d: d.set_ouput_mode(mode="off"), wire("AA 01 21 00", "CC")),
    (lambda d: d.set_new_addr(6), wire("AA 01 25 06", "D6")),
    (lambda d: d.set_new_addr(address=255), wire("AA 01 25 FF", "CF")),
    (lambda d: d.restore_factory(), wire("AA 01 32", "DD")),
    (lambda d: d.set_voltage_max(12.0), wire("AA 01 22 E0 2E 00 00", "DB")),
    (lambda d: d.set_out_voltage(1.222), wire("AA 01 23 C6 04 00 00", "98")),
    (lambda d: d.set_out_current(current=0.888), wire("AA 01 24 78 03 00 00", "4A")),
    (lambda d: d.set_out_voltage(voltage=1.001), wire("AA 01 23 E9 03 00 00", "BA")),  # as written: 1001 mV
    (lambda d: d.read_dev_status(), wire("AA 01 26", "D1")),
    (lambda d: d._QM4410__read_device_version() or d._QM4410__addr, wire("AA 01 31", "DC")),
]
ERRORS = [  # refused arguments: (call, exception, message or None)
    (lambda d: d.set_new_addr(True), TypeError, "Argument 'address' has incorrect type (expected int, got bool)"),
    (lambda d: d.set_new_addr(6.0), TypeError, "Argument 'address' has incorrect type (expected int, got float)"),
    (lambda d: d.set_new_addr("6"), TypeError, "Argument 'address' has incorrect type (expected int, got str)"),
    (lambda d: d.set_new_addr(None), TypeError, "Argument 'address' has incorrect type (expected int, got NoneType)"),
    (
        lambda d: d.set_new_addr(type("I", (int,), {})(6)),
        TypeError,
        "Argument 'address' has incorrect type (expected int, got I)",
    ),
    (lambda d: d.set_new_addr(256), ValueError, None),
    (lambda d: d.set_new_addr(-1), ValueError, None),
    (lambda d: d.set_out_voltage("5"), TypeError, "must be real number, not str"),
    (lambda d: d.set_out_current(None), TypeError, "must be real number, not NoneType"),
    (lambda d: d.set_voltage_max([1.0]), TypeError, None),
    (lambda d: d.set_out_voltage(float("inf")), OverflowError, "cannot convert float infinity to integer"),
    (lambda d: d.set_out_current(float("-inf")), OverflowError, "cannot convert float infinity to integer"),
    (lambda d: d.set_voltage_max(float("nan")), ValueError, "cannot convert float NaN to integer"),
    (lambda d: d.set_out_voltage(-1.0), ValueError, "voltage out of range: -1.0"),
    (lambda d: d.set_voltage_max(-0.001), ValueError, "voltage out of range: -0.001"),
    (lambda d: d.set_out_voltage(4294967.296), ValueError, "voltage out of range: 4294967.296"),
    (lambda d: d.set_out_current(-0.5), ValueError, "current out of range: -0.5"),
    (lambda d: d.set_out_current(1e300), ValueError, "current out of range: 1e+300"),
    (lambda d: d.set_out_voltage(1.8e305), ValueError, "voltage out of range: 1.8e+305"),  # the product overflows
]
for _bad in ["REMOTE", "Remote", " remote", "remote ", "", None, 1, 0, True, b"remote"]:
    ERRORS.append((lambda d, v=_bad: d.set_work_mode(v), ValueError, f"mode must be 'remote' or 'local', not {_bad!r}"))
for _bad in ["OFF", "On", " on ", "", None, 0, 1, False, True, "local"]:
    ERRORS.append((lambda d, v=_bad: d.set_ouput_mode(mode=v), ValueError, f"mode must be 'on' or 'off', not {_bad!r}"))


@pytest.mark.parametrize("call, request_frame", FRAMES)
def test_request_frames_and_success(drv, port, log, call, request_frame):
    port.reply(frame(1, 0x12, b"\xff" * 22))  # any well-formed reply from the supply's address counts
    result = call(drv)
    assert port.writes() == [request_frame]
    # True for the setting commands, a record for the status, the reply's address for the version read
    assert result is True or type(result) is dict or result == 1


@pytest.mark.parametrize("call", [c for c, _ in FRAMES])
def test_a_patched_transaction_or_checksum_sees_the_frame_the_driver_sends(drv, port, call):
    """A command sends the same bytes whether the driver takes its own path or
    one a user patched: a transaction replaced on the instance gets the finished
    frame as a list; a checksum method overridden in a subclass gets it before
    its checksum, with the template's placeholder last."""
    port.reply(frame(1, 0x12))
    call(drv)
    fast = port.writes()[-1]
    seen = {}

    class Spy(QM4410):
        def _QM4410__cal_crc(self, data):
            seen["cal"] = (data, list(data))
            return QM4410._QM4410__cal_crc(self, data)

    def spy(command):
        seen["write"] = (command, list(command))
        return QM4410._QM4410__write_and_read(drv, command)

    for patch in ("instance", "subclass"):
        seen.clear()
        port.reply(frame(1, 0x12))
        if patch == "instance":
            drv._QM4410__write_and_read = spy
        else:
            del drv._QM4410__write_and_read
            drv.__class__ = Spy
        call(drv)
        assert port.writes()[-1] == fast
        key = "write" if patch == "instance" else "cal"
        sent, snapshot = seen[key]
        assert type(sent) is list and len(snapshot) == 26
        if patch == "instance":
            assert snapshot == list(fast)  # checksum already stored
        else:
            assert snapshot == list(fast[:25]) + [0xCC]  # before the checksum: the template's placeholder
    drv.__class__ = QM4410


def test_mocked_private_methods_are_the_ones_called(drv, port):
    """The checksum method is handed the very list then handed to the
    transaction; with both mocked, nothing reaches the port."""
    with (
        mock.patch.object(QM4410, "_QM4410__cal_crc") as cal,
        mock.patch.object(QM4410, "_QM4410__write_and_read", return_value=None) as wr,
    ):
        assert drv.set_out_current(0.5) is False
    (command,), _ = wr.call_args
    assert cal.call_args[0][0] is command
    assert command == [0xAA, 1, 0x24, 0xF4, 0x01] + [0] * 20 + [0xCC]  # the mock stored no checksum
    assert port.log == []


@pytest.mark.parametrize("call, exc, message", ERRORS)
def test_refused_arguments_send_nothing(drv, port, log, call, exc, message):
    with pytest.raises(exc) as err:
        call(drv)
    if message is not None:
        assert str(err.value) == message
    assert log == []
    port.reply(frame(1, 0x12))
    assert drv.set_work_mode("local") is True  # still usable, and the line still in step:
    assert [name for name, _ in log[:2]] == ["inWaiting", "write"]  # one look before writing


@pytest.mark.parametrize("method", ["set_voltage_max", "set_out_voltage", "set_out_current"])
@pytest.mark.parametrize(
    "value, millis",
    [
        (5, 5000),
        (True, 1000),
        (False, 0),
        (-0.0004, 0),
        (-0.0, 0),
        (0.0009, 0),
        # The value as written in decimal, truncated, although 0.029 * 1000 is 28.999999999999996.
        (1.001, 1001),
        (0.029, 29),
        (0.058, 58),
        (1.0009, 1000),
        (4.35, 4350),
        (4294967.2955, 0xFFFFFFFF),
        (Fraction(5, 2), 2500),
        (type("F", (), {"__float__": lambda s: 0.25})(), 250),
        (type("N", (), {"__index__": lambda s: 3})(), 3000),
        (4294967.295, 0xFFFFFFFF),
        (65.536, 65536),
    ],
)
def test_set_point_conversion(drv, port, method, value, millis):
    port.reply(frame(1, 0x12))
    assert getattr(drv, method)(value) is True
    assert port.writes()[0][3:7] == millis.to_bytes(4, "little")


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda d: d.set_out_voltage(1.0), "set voltage, read:"),
        (lambda d: d.set_out_current(1.0), "set current, read:"),
        (lambda d: d.restore_factory(), "Restore FACTORY:"),
        (lambda d: d.set_voltage_max(1.0), None),
        (lambda d: d.set_work_mode(), None),
        (lambda d: d.set_ouput_mode(), None),
        (lambda d: d.set_new_addr(3), None),
    ],
)
def test_results_and_printed_lines(drv, port, capsys, call, text):
    reply = wire("AA 01 32", "DD") if text == "Restore FACTORY:" else frame(1, 0x12, b"\x07")
    port.reply(reply)
    assert call(drv) is True
    out = capsys.readouterr().out
    assert out == ("" if text is None else text + str(list(reply)) + "\n")
    if text == "Restore FACTORY:":
        assert out.startswith("Restore FACTORY:[170, 1, 50, 0, 0") and out.endswith("0, 221]\n")
    assert call(drv) is False  # no reply this time
    assert capsys.readouterr().out == ""


@pytest.mark.parametrize("call", [c for c, _ in FRAMES])
def test_without_port_attribute_error(fake_time, call):
    with pytest.raises(AttributeError, match="ser"):
        call(QM4410("/dev/ttyFAKE0"))


def test_address_and_constants_read_at_each_call(drv, port):
    for _ in range(3):
        port.reply(frame(1, 0x12))
    drv.set_new_addr(6)
    drv._QM4410__addr = 7
    drv.restore_factory()
    with (
        mock.patch.object(QM4410, "_QM4410__CMD_WORD_RESTORE_FACTORY", 0x40),
        mock.patch.object(QM4410, "_QM4410__CMD_TEMPLATE", TEMPLATE[:20] + (5,) + TEMPLATE[21:]),
    ):
        drv.restore_factory()
    first, second, third = port.writes()
    assert first[1] == 1 and drv._QM4410__addr == 7  # set_new_addr leaves __addr alone
    assert second == wire("AA 07 32", "E3")
    assert third[:3] == b"\xaa\x07\x40" and third[20] == 5 and third[25] == (0xAA + 7 + 0x40 + 5) & 0xFF


def test_template_unchanged_after_many_commands(drv, port):
    for _ in range(20):
        for call, _ in FRAMES:
            port.reply(frame(1, 0x12))
            call(drv)
    assert QM4410._QM4410__CMD_TEMPLATE == TEMPLATE and type(QM4410._QM4410__CMD_TEMPLATE) is tuple


PRINTING = [
    (lambda d: d.set_out_voltage(1.0), "set voltage, read:"),
    (lambda d: d.set_out_current(1.0), "set current, read:"),
    (lambda d: d.restore_factory(), "Restore FACTORY:"),
]


@pytest.mark.parametrize("call, text", PRINTING)
@settings(max_examples=50, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=st.binary(min_size=22, max_size=22), word=st.integers(0, 255).filter(lambda w: w not in REQUEST_WORDS))
def test_printed_line_lists_any_reply(drv, port, capsys, call, text, data, word):
    reply = frame(1, word, data)
    port.reply(reply)
    capsys.readouterr()
    assert call(drv) is True
    assert capsys.readouterr().out == text + str(list(reply)) + "\n"


@pytest.mark.parametrize("call, text", PRINTING)
@pytest.mark.parametrize("kind", [list, bytearray, tuple])
def test_printed_line_from_an_overridden_transaction(drv, capsys, call, text, kind):
    reply = list(frame(1, 0x12, b"\x09\x0a\x63\x64\xff"))
    with mock.patch.object(QM4410, "_QM4410__write_and_read", lambda self, cmd: kind(reply)):
        assert call(drv) is True
    assert capsys.readouterr().out == text + str(reply) + "\n"
