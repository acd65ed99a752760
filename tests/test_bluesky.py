"""qm4410.bluesky in a real RunEngine against the virtual supply: every
event's readings what the supply held, one status exchange a point; a scan
that fails cleanly when the supply vanishes; a slewed move stopped between
steps; the device mocked without a port, refusing bad values unsent."""

import asyncio

import pytest

pytest.importorskip("ophyd_async", reason="the bluesky extra is not installed: pip install 'qm4410[bluesky]'")

import bluesky.plan_stubs as bps  # noqa: E402
from bluesky import RunEngine  # noqa: E402
from bluesky.plans import count, rel_scan, scan  # noqa: E402
from bluesky.run_engine import call_in_bluesky_event_loop  # noqa: E402
from bluesky.utils import FailedStatus  # noqa: E402
from ophyd_async.core import get_mock_put, init_devices, set_mock_value  # noqa: E402

from qm4410 import PortGone, Rules  # noqa: E402
from qm4410.bluesky import QM4410Device  # noqa: E402

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


def test_a_scan_fails_cleanly_when_the_supply_vanishes(RE, connected, qm4410_sim):
    # The identity and the first status at connecting, the output, the
    # descriptor's configuration, then a set-point and a status a point.
    psu = connected(qm4410_sim(load=LOAD, vanish_after=4 + 2 * 4))
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
