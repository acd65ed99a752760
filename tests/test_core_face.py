"""The supply core: the one set-point rule, and qm4410.Supply against the
virtual supply (quiet, typed, raising)."""

import decimal
import logging
import math
import os
import subprocess
import sys

import pytest
import serial
from fakes import FakePort, frame
from hypothesis import example, given, settings
from hypothesis import strategies as st
from processes import children_of

from qm4410 import QM4410, _line
from qm4410.supply import NoReply, OutOfRange, PortGone, RefusalKind, Refused, Status, Supply, setpoints
from qm4410.supply.opening import refusal


@pytest.mark.parametrize(
    "quantity, value, units",
    [
        ("current", 0.029, 29),  # 0.029 * 1000 is 28.999999999999996 in binary
        ("current", 0.058, 58),
        ("voltage", 1.0009, 1000),
        ("voltage", 1.001, 1001),
        ("current", 0.0004, 0),
        ("current", 65.535, 65535),
        ("voltage", 4294967.295, 4294967295),
        ("voltage", 5, 5000),
        ("voltage", decimal.Decimal("0.0299"), 29),
    ],
)
def test_a_value_is_sent_as_written_truncated_to_whole_units(quantity, value, units):
    assert setpoints.to_units(quantity, value) == units


@pytest.mark.parametrize(
    "quantity, value, error, text",
    [
        ("current", 65.536, OutOfRange, "the current limit 65.536 A is outside the supply's range, 0 to 65.535 A"),
        ("current", 70.0, OutOfRange, "the current limit 70.0 A is outside the supply's range"),
        ("voltage", -0.001, OutOfRange, "the voltage -0.001 V is outside"),
        # Not truncated to 0; and where no reading told the supply's maximum
        # voltage, the bound is said to be what it can be sent.
        (
            "voltage",
            -0.0005,
            OutOfRange,
            "the voltage -0.0005 V is outside what the supply can be sent, 0 to 4294967.295 V",
        ),
        ("voltage", 4294967.296, OutOfRange, "0 to 4294967.295 V"),
        ("voltage", math.nan, OutOfRange, "the voltage must be a finite number, not nan"),
        ("voltage", math.inf, OutOfRange, "the voltage must be a finite number, not inf"),
        ("voltage", 10**400, OutOfRange, "is too large"),
        ("voltage", "5", TypeError, "the voltage must be a number, not str"),
        ("voltage", True, TypeError, "not bool"),
    ],
)
def test_a_value_the_supply_cannot_take_is_refused(quantity, value, error, text):
    with pytest.raises(error, match=text.replace("(", r"\(").replace(")", r"\)")):
        setpoints.to_units(quantity, value)


@settings(max_examples=300)
@example(1.001)
@example(0.029)
@example(4294967.2955)
@example(-0.0004)
@example(-0.0)
@given(value=st.floats(-1, 70_000, allow_subnormal=False) | st.decimals(0, 70_000, places=6).map(float))
def test_the_core_sends_what_the_driver_would(value):
    """The driver's own conversion and the core's rule are one rule, but
    that the core refuses every value below 0, where the driver truncates
    one less than a unit below it to 0 (-0.0 is 0 to both)."""
    driver = QM4410("/dev/ttyFAKE0")
    driver._QM4410__addr = 1
    driver.ser = FakePort().reply(frame(1, 0x12))
    try:
        units = setpoints.to_units("voltage", value)
    except OutOfRange:
        if not -setpoints.RESOLUTION < value < 0:
            with pytest.raises(ValueError):
                driver.set_voltage_max(value)
        return
    assert value >= 0
    assert driver.set_voltage_max(value)
    assert int.from_bytes(driver.ser.writes()[-1][3:7], "little") == units


@pytest.mark.parametrize(
    "span, points",
    [
        ((0, 1, 0.1), [0, 100, 200, 300, 400, 500, 600, 700, 800, 900, 1000]),  # 0.1 * 3 lands on 0.3
        ((0.7, 0.1, -0.3), [700, 400, 100]),
        ((0, 0.0025, 0.001), [0, 1, 2]),
    ],
)
def test_range_points_lie_on_the_grid(span, points):
    assert setpoints.span_units("voltage", span) == points


def test_the_package_offers_the_face_beside_the_driver():
    code = (
        "import qm4410, sys\n"
        "assert 'qm4410.supply' not in sys.modules\n"  # loaded on first use
        "print(qm4410.Supply.__module__, qm4410.Status.__name__, qm4410.__version__)\n"
        "try:\n    qm4410.Nothing\nexcept AttributeError as error:\n    print(error)\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    from importlib.metadata import version

    assert run.stdout.splitlines() == [
        f"qm4410.supply.face Status {version('qm4410')}",
        "module 'qm4410' has no attribute 'Nothing'",
    ], run.stderr


def test_a_supply_is_quiet_typed_and_raising(qm4410_sim, capsys, caplog):
    caplog.set_level(logging.DEBUG, logger="qm4410")
    with Supply(qm4410_sim(load=8)) as supply:
        assert supply.identity.model == "4410"
        supply.remote = True
        supply.voltage, supply.current_limit = 0.029, 0.5
        supply.output = True
        assert supply.link.last is not None and supply.link.last.reply is not None  # how the switch-on went
        status = supply.status()
        assert isinstance(status, Status) and status.output and status.remote
        assert (status.voltage, status.measured_voltage, status.mode) == (0.029, 0.029, "CV")
        assert status.power == round(0.029 * status.measured_current, 6)
        with pytest.raises(OutOfRange):
            supply.current_limit = 70
        supply.switch_off()
        assert supply.output is False
    assert capsys.readouterr().out == ""
    assert any("voltage 29 mV: answered" in message for message in caplog.messages)


@pytest.mark.parametrize(
    "options, error",
    [({"drop_every": 1}, Refused), ({"vanish_after": 3}, PortGone)],
)
def test_a_supply_that_stops_answering_raises(qm4410_sim, options, error):
    """Dropping every reply refuses the opening (no identity); a port that
    vanishes later fails the next command."""
    supply = Supply(qm4410_sim(**options))
    with pytest.raises(error) as raised:
        with supply:
            for _ in range(5):
                supply.status()
    if error is Refused:
        assert raised.value.kind is RefusalKind.NO_ANSWER
    assert supply.closed


def test_a_status_without_a_reply_is_no_reply(qm4410_sim):
    with Supply(qm4410_sim(drop_every=2)) as supply:  # the identity is the first request
        with pytest.raises(NoReply, match="did not answer the status request"):
            supply.status()
        assert supply.status().output is False  # the line recovers


def test_a_virtual_supply_of_its_own_ends_with_it():
    supply = Supply.virtual(load=4)
    before = children_of(os.getpid()).keys()
    with supply:
        started = children_of(os.getpid()).keys() - before
        assert started and supply.status().voltage == 0.0
    assert not started & children_of(os.getpid()).keys()  # ended, and reaped


def raised_from(error, cause):
    error.__cause__ = cause
    return error


NO_CONFIRMATION = serial.SerialException("timeout while waiting for option 'control'")


@pytest.mark.parametrize(
    "port, error, kind, advice",
    [
        # The negotiation failed, which pyserial tells in words alone: the
        # flow control unconfirmed is likelier, unless the URL waits for none.
        (
            "rfc2217://labpi:4001",
            raised_from(_line.OpenError("could not open"), NO_CONFIRMATION),
            RefusalKind.CANNOT_OPEN,
            "add ?ign_set_control to the URL; else it hung up on this client",
        ),
        (
            "rfc2217://labpi:4001?ign_set_control",
            raised_from(_line.OpenError("could not open"), NO_CONFIRMATION),
            RefusalKind.REMOTE_BUSY,
            "it hung up on this client: it serves another one already",
        ),
        (
            "rfc2217://labpi:4001",
            raised_from(_line.Unreachable("could not open"), TimeoutError("timed out")),
            RefusalKind.CANNOT_CONNECT,
            "labpi:4001 cannot be reached (timed out)",
        ),
        ("/dev/ttyQM4410-NONE", _line.PermissionDenied("could not open"), RefusalKind.PERMISSION_DENIED, "usermod -aG"),
    ],
)
def test_a_refusal_is_told_by_its_kind(port, error, kind, advice):
    refused = refusal(port, error)
    assert refused.kind is kind and advice in refused.text, refused.text
