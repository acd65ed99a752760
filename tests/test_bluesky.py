"""qm4410.bluesky in a real RunEngine against the virtual supply: every
event's readings what the supply held, one status exchange a point; a set
that ends once the output has settled, or fails when it does not in time; a
scan that fails cleanly when the supply vanishes; a slewed move stopped
between steps; the device mocked without a port, refusing bad values
unsent."""

import asyncio

import pytest

pytest.importorskip("ophyd_async", reason="the bluesky extra is not installed: pip install 'qm4410[bluesky]'")

import bluesky.plan_stubs as bps  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.plans import count, rel_scan, scan  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402
from bluesky.utils import FailedStatus  # noqa: E402
from ophyd_async.core import get_mock_put, init_devices, set_mock_value  # noqa: E402
from ophyd_async.testing import assert_value  # noqa: E402

from qm4410 import PortGone, Rules, Status  # noqa: E402
from qm4410.bluesky import SETTLE_READINGS, QM4410Device, SettleTimeout, settled  # noqa: E402
from qm4410.supply.status import Mode  # noqa: E402

LOAD = 8.0


@pytest.fixture
def RE():
    engine = RunEngine({})
    engine.documents = []
    engine.subscribe(lambda name, document: engine.documents.append((name, document)))
    yield engine
    engine.loop.call_soon_threadsafe(engine.loop.stop)
    engine._th.join(10)
    engine.loop.close()


@pytest.fixture
def connected(RE):
    """Connects a device (on the RunEngine's loop), closed after the test."""
    devices = []

    def connected(port, **options):
        with init_devices():
            psu = QM4410Device(port, **options)
        devices.append(psu)
        return psu

    yield connected
    for psu in devices:
        call_in_bluesky_event_loop(psu.close())


def events(RE):
    return [document["data"] for name, document in RE.documents if name == "event"]


def assert_what_the_supply_held(data, voltage):
    # Constant voltage into the load: the current limit of 1 A is never reached.
    assert data["psu-voltage"] == voltage
    assert data["psu-measured_voltage"] == voltage
    assert data["psu-measured_current"] == pytest.approx(voltage / LOAD, abs=0.001)
    assert data["psu-power"] == pytest.approx(data["psu-measured_voltage"] * data["psu-measured_current"])


def test_count_scan_and_rel_scan_record_what_the_supply_held_one_exchange_a_point(RE, connected, qm4410_sim):
    virtual = qm4410_sim.start("--load", str(LOAD), "--verbose")
    psu = connected(virtual.port)
    RE(bps.mv(psu.current_limit, 1.0, psu.output, True, psu, 2.0))
    reads_before = virtual.log().count("read status")
    RE(count([psu], num=5))
    # One per point, and one for the configuration of the stream's descriptor.
    assert virtual.log().count("read status") - reads_before == 5 + 1
    RE(scan([psu], psu, 0.5, 3.0, 6))
    RE(rel_scan([psu], psu, -1.0, 1.0, 3))  # about the 3.0 V the scan left, then back there
    expected = [2.0] * 5 + [0.5, 1.0, 1.5, 2.0, 2.5, 3.0] + [2.0, 3.0, 4.0]
    assert len(events(RE)) == len(expected)
    for data, voltage in zip(events(RE), expected):
        assert_what_the_supply_held(data, voltage)
    configuration = [
        document["configuration"]["psu"]["data"] for name, document in RE.documents if name == "descriptor"
    ]
    assert configuration == [{"psu-current_limit": 1.0, "psu-output": True}] * 3
    assert call_in_bluesky_event_loop(psu.locate())["setpoint"] == 3.0


def status(output=True, mode="CV", volts=5.0, amperes=0.5, max_voltage=30.0):
    return Status(amperes, volts, 1.0, max_voltage, 5.0, output, False, Mode(mode), 0, True)


@pytest.mark.parametrize(
    "quantity, target, reading, tolerance, expected",
    [
        ("voltage", 5.0, status(volts=4.95), 0.05, True),
        ("voltage", 5.0, status(volts=4.9), 0.05, False),  # on its way there
        ("voltage", 5.0, status(volts=5.0), 0.0, True),
        ("voltage", 5.0, status(mode="CC", volts=2.0), 0.05, True),  # the load takes the current limit
        ("voltage", 12.0, status(volts=10.0, max_voltage=10.0), 0.05, True),  # held at the maximum voltage
        ("voltage", 12.0, status(volts=8.0, max_voltage=10.0), 0.05, False),
        ("voltage", 5.0, status(output=False, mode="XX", volts=0.0), 0.05, True),  # nothing to settle
        ("current", 0.5, status(mode="CC", amperes=0.505), 0.01, True),
        ("current", 0.3, status(mode="CC", amperes=0.5), 0.01, False),  # falling to the new limit
        ("current", 1.0, status(mode="CV", amperes=0.625), 0.01, True),  # the load draws less than the limit
    ],
)
def test_what_counts_as_settled(quantity, target, reading, tolerance, expected):
    assert settled(quantity, target, reading, tolerance) is expected


@pytest.mark.parametrize(
    "before, signal, value, readings, measured, expected",
    [
        ([], "voltage", 2.0, 1, "measured_voltage", 2.0),
        # 0.25 A into 8 ohms: constant current at 2 V, short of the 5 V set.
        ([("current_limit", 0.25)], "voltage", 5.0, SETTLE_READINGS, "measured_voltage", 2.0),
        ([("voltage", 2.0)], "current_limit", 0.2, 4, "measured_current", 0.2),
    ],
)
def test_a_set_ends_once_the_output_has_settled(
    RE, connected, qm4410_sim, before, signal, value, readings, measured, expected
):
    virtual = qm4410_sim.start("--load", str(LOAD), "--verbose")
    psu = connected(virtual.port, settle_readings=readings)
    RE(bps.mv(psu.output, True))
    for name, setting in before:
        RE(bps.mv(getattr(psu, name), setting))
    sent_before = virtual.log().count(" <- ")
    RE(bps.mv(getattr(psu, signal), value))
    # What the set sent, as the virtual supply tells each request.
    sent = [line.rsplit("  ", 1)[1] for line in virtual.log().splitlines() if " <- " in line][sent_before:]
    assert sent[0].startswith(("set output voltage", "set current limit")) and sent[1:] == ["read status"] * readings
    call_in_bluesky_event_loop(assert_value(getattr(psu, measured), expected))


@pytest.mark.parametrize(
    "keywords, said",
    [
        ({"settle_readings": 0}, "settle_readings is a whole number, 1 or more, not 0"),
        ({"settle_readings": True}, "settle_readings is a whole number"),
        ({"voltage_tolerance": -0.01}, "the voltage tolerance must not be negative"),
        ({"current_tolerance": float("nan")}, "the current tolerance must be a finite number"),
        ({"settle_timeout": 0}, "the settle timeout must be above 0"),
    ],
)
def test_settling_that_could_not_mean_anything_is_refused(keywords, said):
    with pytest.raises(ValueError, match=said):
        QM4410Device("/dev/ttyQM4410-NONE", **keywords)


def test_a_set_not_seen_settled_in_time_fails_saying_so(RE, connected, qm4410_sim):
    psu = connected(qm4410_sim(load=LOAD), settle_readings=1_000_000, settle_timeout=0.3)
    with pytest.raises(FailedStatus) as failed:
        RE(bps.mv(psu, 1.0))
    assert isinstance(failed.value.__cause__, SettleTimeout)
    assert str(failed.value.__cause__).startswith("psu-voltage did not settle at 1.000 V within 0.3 s (")
    assert str(failed.value.__cause__).endswith(
        " of 1000000 readings in a row within 0.05 V; the last reading: the output off)"
    )


def test_a_scan_fails_cleanly_when_the_supply_vanishes(RE, connected, qm4410_sim):
    # The identity and the first status at connecting, the output, the
    # descriptor's configuration, then a point's set-point, the readings
    # that see it settled, and its status.
    psu = connected(qm4410_sim(load=LOAD, vanish_after=4 + (1 + SETTLE_READINGS + 1) * 4))
    RE(bps.mv(psu.output, True))
    with pytest.raises(FailedStatus) as failed:
        RE(scan([psu], psu, 0.0, 9.0, 10))
    assert isinstance(failed.value.__cause__, PortGone)
    for data, voltage in zip(events(RE), [0.0, 1.0, 2.0, 3.0], strict=True):
        assert_what_the_supply_held(data, voltage)
    (stop,) = [document for name, document in RE.documents if name == "stop"]
    assert stop["exit_status"] == "fail" and "lost the line to the supply" in stop["reason"]
    assert RE.state == "idle"

    async def move():
        await psu.set(1.0)

    with pytest.raises(PortGone):
        call_in_bluesky_event_loop(move())


@pytest.mark.parametrize("success", [False, True])
def test_a_slewed_move_stopped_between_steps_stays_there(RE, connected, qm4410_sim, success):
    psu = connected(qm4410_sim(load=LOAD), guard=Rules(slew_voltage=2.0))

    async def move_and_stop():
        moving = psu.set(5.0)
        while (await psu.locate())["setpoint"] < 0.8:
            assert not moving.done
        await psu.stop(success=success)
        if success:
            await moving
        else:
            with pytest.raises(RuntimeError, match="psu was stopped where it stood"):
                await moving
        held = (await psu.locate())["setpoint"]
        await asyncio.sleep(0.5)  # two and a half steps' time at 2 V/s
        return held, (await psu.locate())["setpoint"]

    held, later = call_in_bluesky_event_loop(move_and_stop())
    assert 0.8 <= held < 5.0 and later == held


@pytest.mark.parametrize(
    "value, guard, text",
    [
        (-1.0, None, "the voltage -1.0 V is outside what the supply can be sent"),
        ("2", None, "the voltage must be a number, not str"),
        (12.5, Rules(limit_voltage=12), "the voltage 12.5 V is outside the range the guard allows, 0 to 12.000 V"),
    ],
)
def test_mocked_without_a_port_and_a_bad_value_refused_unsent(RE, value, guard, text):
    with init_devices(mock=True):
        psu = QM4410Device("/dev/ttyQM4410-NONE", guard=guard)
    set_mock_value(psu.measured_voltage, 1.5)
    RE(count([psu]))
    assert events(RE)[0]["psu-measured_voltage"] == 1.5
    with pytest.raises(ValueError, match=text):
        psu.set(value)
    RE(bps.mv(psu, 2.5))
    get_mock_put(psu.voltage).assert_called_once_with(2.5)
