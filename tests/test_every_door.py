"""The same request gives the same result through every door: the command's
set, ramp and run, a script's Supply and the workflows, and the server's
SCPI, EPICS and web endpoints. The supply holds the same millivolts and
milliamperes, and the same values are refused at every door before
anything is sent. And no door switches the output on above what was
asked: a ramp, a sweep or a profile run at where it starts, a guard's soft
start at 0 V."""

import asyncio
import contextlib
import math
import re
import socket
import time
import types

import pytest

import qm4410
from qm4410 import QM4410
from qm4410.aio import AsyncQM4410
from qm4410.cli import main
from qm4410.server import HeldSupply, Rfc2217, Server
from qm4410.server.guarding import guard_over
from qm4410.server.held_supply import Asker
from qm4410.server.scpi.reporting import Conditions
from qm4410.server.scpi.session import Session
from qm4410.supply import Guard, OutOfRange, Rules, Supply
from qm4410.supply.guard import SLEW_STEPS_PER_S
from qm4410.workflows import ramp, sweep

# (quantity, value as typed, the units the supply then holds; None: refused)
REQUESTS = [
    ("voltage", "1.0009", 1000),
    ("current", "0.0004", 0),
    ("current", "65.535", 65535),
    ("current", "65.536", None),
    ("current", "70", None),
    ("voltage", "-0.001", None),
    ("voltage", "-0.0005", None),  # below 0 by less than a unit: refused, not truncated to 0
    ("current", "-0.0009", None),
    ("voltage", "-0", 0),  # which is 0
    ("voltage", "nan", None),
    ("voltage", "inf", None),
    ("voltage", "4294967.295", 4294967295),
    ("voltage", "4294967.296", None),
]
BEFORE = {"voltage": 3000, "current": 2000}  # mV and mA, set before each request
# Fast enough that a ramp makes one step, even to the top of the range.
RATE = "1e12"


def through_set(port, quantity, text, tmp_path):
    return main(["set", "--port", port, f"--{quantity}", text])


def through_ramp(port, quantity, text, tmp_path):
    target = "--to" if quantity == "voltage" else "--to-current"
    return main(["ramp", "--port", port, target, text, "--rate", RATE])


def through_run(port, quantity, text, tmp_path):
    profile = tmp_path / "profile.csv"
    other = "current" if quantity == "voltage" else "voltage"
    profile.write_text(f"duration,{quantity},{other},output\n0.05,{text},,\n")
    return main(["run", str(profile), "--port", port, "--leave-on"])


def through_supply(port, quantity, text, tmp_path):
    with Supply(port) as supply:
        try:
            setattr(supply, "voltage" if quantity == "voltage" else "current_limit", float(text))
        except OutOfRange:
            return 2
    return 0


def through_workflows(port, quantity, text, tmp_path):
    with Supply(port) as supply:
        try:
            ramp(supply, quantity, float(text), rate=float(RATE))
        except OutOfRange:
            return 2
    return 0


def through_scpi(port, quantity, text, tmp_path):
    supply = HeldSupply(port)
    supply.open()
    try:
        guard = guard_over(supply)
        session = Session(supply, guard, Asker("scpi", "a client"), Conditions(guard))
        session.execute(f"{'VOLT' if quantity == 'voltage' else 'CURR'} {text}")
        error = session.execute("SYST:ERR?")
    finally:
        supply.close()
    return 0 if error == '0,"No error"' else int(error.split(",")[0])


def through_epics(port, quantity, text, tmp_path):
    pytest.importorskip("caproto", reason="the epics extra is not installed")
    from qm4410.server.epics.pvs import Pvs

    supply = HeldSupply(port)
    supply.open()
    try:
        channel = Pvs("DOOR:", guard_over(supply)).pvdb["DOOR:VOLT_SP" if quantity == "voltage" else "DOOR:CURR_SP"]
        try:
            asyncio.run(channel.write(float(text)))  # as a client's put: through the PV's own checks
        except OutOfRange:
            return 2
    finally:
        supply.close()
    return 0


def through_web(port, quantity, text, tmp_path):
    pytest.importorskip("starlette", reason="the web extra is not installed")
    from qm4410.server.http.control import Malformed, carried_out, request_of

    value = float(text)
    supply = HeldSupply(port)
    supply.open()
    try:
        # As the page sends it: a number, or null where JSON has none (NaN, infinity).
        message = {"type": "set", "quantity": quantity, "value": value if math.isfinite(value) else None}
        try:
            return 0 if carried_out(request_of(message), guard_over(supply), "a page") is None else 2
        except Malformed:
            return 2
    finally:
        supply.close()


DOORS = [
    through_set,
    through_ramp,
    through_run,
    through_supply,
    through_workflows,
    through_scpi,
    through_epics,
    through_web,
]


def held(port):
    with Supply(port) as supply:
        status = supply.status()
    return {"voltage": round(status.voltage * 1000), "current": round(status.current_limit * 1000)}


@pytest.fixture
def nobody_holds_the_port(monkeypatch):
    """The driver asks lsof who holds the port at every open: here nobody
    does, and asking costs most of this test's time."""
    nobody = types.SimpleNamespace(stdout=b"")
    fake = types.SimpleNamespace(PIPE=-1, DEVNULL=-3, run=lambda *args, **kwargs: nobody)
    monkeypatch.setattr(qm4410, "subprocess", fake)


@pytest.mark.parametrize("door", DOORS, ids=lambda door: door.__name__.removeprefix("through_"))
def test_every_door_sets_and_refuses_alike(qm4410_sim, door, tmp_path, capsys, nobody_holds_the_port):
    sim = qm4410_sim.start("--verbose")
    for quantity, text, units in REQUESTS:
        with Supply(sim.port) as supply:
            supply.voltage, supply.current_limit = BEFORE["voltage"] / 1000, BEFORE["current"] / 1000
        sent_before = _setpoints_sent(sim.log())
        try:
            status = door(sim.port, quantity, text, tmp_path)
        except SystemExit as usage:  # argparse refuses the command line
            status = usage.code
        capsys.readouterr()
        if units is None:
            assert status in (2, -222, -224), (quantity, text, status)
            assert _setpoints_sent(sim.log()) == sent_before, (quantity, text)
            assert held(sim.port) == BEFORE, (quantity, text)
        else:
            assert status in (0, 16), (quantity, text, status)  # 16: set warns of a voltage above its maximum
            assert held(sim.port)[quantity] == units, (quantity, text)


def _setpoints_sent(log):
    return len(re.findall(r"set (output voltage|current limit|maximum voltage)", log))


# The output never comes on above what is asked for, through any door that
# switches it on, as the virtual supply's own log of its requests tells.

REQUEST = re.compile(r"<- [0-9A-F ]+  (set output voltage|set current limit|set output on)(?: ([\d.]+) [VA])?$")
SOFT_START = Rules(slew_voltage=10.0, soft_start=True)


def requests(log):
    """(what, value) of each set-point and switch-on the supply was sent, in order."""
    return [(found[1], found[2] and float(found[2])) for found in map(REQUEST.search, log.splitlines()) if found]


def held_at_each_switch_on(log):
    """The (voltage, current limit) set-points the supply held as each
    switch-on came (0 V and 1 A at start-up)."""
    held, found = {"set output voltage": 0.0, "set current limit": 1.0}, []
    for what, value in requests(log):
        if what == "set output on":
            found.append((held["set output voltage"], held["set current limit"]))
        else:
            held[what] = value
    return found


def until(condition, within=30.0):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, "not within the time allowed"
        time.sleep(0.02)


def on_by_command(*argv):
    return lambda port: main([*argv, "--port", port])


def on_by_profile(port, tmp_path):
    profile = tmp_path / "profile.csv"
    # The voltage a later step gives: 0 until then, not the 12 V held before the run.
    profile.write_text("duration,voltage,current,output\n0,,1,on\n0,5,,\n")
    return main(["run", str(profile), "--port", port])


def on_by_workflow(port):
    with Supply(port) as supply:
        ramp(supply, "current", 1.0, rate=40.0, output=True)


def on_by_asyncio(port):
    async def session():
        async with AsyncQM4410(port) as supply:
            await supply.ramp("voltage", 2.0, rate=40.0, current=2.0, output=True)

    asyncio.run(session())


@pytest.mark.parametrize(
    "door, held_then",
    [
        (on_by_command("ramp", "--to", "2", "--rate", "40", "--current", "2", "--output", "on"), (0.0, 2.0)),
        (on_by_command("ramp", "--to", "2", "--rate", "40", "--from", "1", "--output", "on"), (1.0, 2.0)),
        (on_by_command("sweep", "--voltage", "3:4:1", "--current", "2", "--dwell", "0"), (3.0, 2.0)),
        (on_by_profile, (0.0, 1.0)),
        (on_by_workflow, (12.0, 0.0)),  # a current ramp: the current limit starts at what flows, 0 A
        (on_by_asyncio, (0.0, 2.0)),
    ],
    ids=["ramp", "ramp --from", "sweep", "run", "workflows", "asyncio"],
)
def test_no_door_switches_the_output_on_above_where_its_run_starts(
    qm4410_sim, door, held_then, tmp_path, nobody_holds_the_port
):
    sim = qm4410_sim.start("--verbose", "--load", "8")
    with Supply(sim.port) as supply:  # set up as a sweep to 12 V leaves it: output off
        supply.remote, supply.voltage, supply.current_limit = True, 12.0, 2.0
    assert door(sim.port, *([tmp_path] if door is on_by_profile else [])) in (0, None)
    assert held_at_each_switch_on(sim.log()) == [held_then]


def soft_by_guard(port):
    with Supply(port) as supply, Guard(supply, SOFT_START) as guard:
        guard.output = True  # returns once the voltage has ramped back up


def soft_by_workflow(port):
    with Supply(port) as supply, Guard(supply, SOFT_START) as guard:
        sweep(guard, voltage=(5, 5, 1), current=2, dwell=0, leave_on=True)


@contextlib.contextmanager
def guard_held(port, *endpoints):
    """The supply on `port` held as the server holds it, under the soft
    start's guard, served through `endpoints`."""
    supply = HeldSupply(port)
    supply.open()
    try:
        with Server(supply, endpoints, rules=SOFT_START) as server:
            yield server
    finally:
        supply.close()


def soft_by_scpi(port):
    with guard_held(port) as server:
        session = Session(server.supply, server.guard, Asker("scpi", "a client"), Conditions(server.guard))
        assert session.execute("OUTP ON;*OPC?") == "1"  # complete once ramped back up


def soft_by_rfc2217(port):
    with guard_held(port, Rfc2217(port=0)) as server:
        client = QM4410(server.resources[0])
        assert client.open()
        try:
            assert client.set_ouput_mode("on")
            until(lambda: (client.read_dev_status() or {}).get("voltage_set") == 5.0)
        finally:
            client.close()


def soft_by_epics(port):
    pvs = pytest.importorskip("qm4410.server.epics.pvs", reason="the epics extra is not installed")
    with guard_held(port) as server:
        pvs.Pvs("TEST:", server.guard).pvdb["TEST:OUT_SP"].put("ON", "a client")
        until(lambda: not server.guard.ramping("voltage"))


@pytest.mark.filterwarnings("ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning:serial.rfc2217")
@pytest.mark.parametrize("door", [soft_by_guard, soft_by_workflow, soft_by_scpi, soft_by_rfc2217, soft_by_epics])
def test_soft_start_switches_on_at_0_v_then_ramps_at_the_slew_rate(qm4410_sim, door, nobody_holds_the_port):
    sim = qm4410_sim.start("--verbose", "--load", "8")
    with Supply(sim.port) as supply:
        supply.remote, supply.voltage, supply.current_limit = True, 5.0, 2.0
    door(sim.port)
    sent = requests(sim.log())
    assert held_at_each_switch_on(sim.log()) == [(0.0, 2.0)]
    switched_on = sent.index(("set output on", None))
    ramped = [0.0] + [volts for what, volts in sent[switched_on:] if what == "set output voltage"]
    step = SOFT_START.slew_voltage / SLEW_STEPS_PER_S
    assert ramped[-1] == 5.0 and all(0 < b - a <= step + 1e-9 for a, b in zip(ramped, ramped[1:])), ramped


@pytest.mark.filterwarnings("ignore:set(Daemon|Name)\\(\\) is deprecated:DeprecationWarning:serial.rfc2217")
def test_a_soft_start_over_rfc2217_is_carried_out_though_a_slow_line_cannot_answer_it_in_time(
    qm4410_sim, nobody_holds_the_port
):
    # At 4800 baud a soft start's three exchanges outlast the client's reply
    # window, once the line knows how long a switch-on takes: the switch-on
    # must still come (at 0 V), not be refused as late after the set-point
    # was taken to 0 for it, and again at every retry.
    sim = qm4410_sim.start("--verbose", "--load", "8", "--line-speed", "4800")
    with Supply(sim.port) as supply:
        supply.remote, supply.voltage, supply.current_limit = True, 5.0, 2.0
    with guard_held(sim.port, Rfc2217(port=0)) as server:
        client = QM4410(server.resources[0])
        # Its identity read, too, may be answered too late on a busy machine.
        until(client.open)
        try:
            for _ in range(2):
                client.set_ouput_mode("on")  # its reply may come too late to pass on
                until(lambda: (client.read_dev_status() or {}).get("voltage_set") == 5.0)
                until(lambda: client.set_ouput_mode("off"))
        finally:
            client.close()
    assert held_at_each_switch_on(sim.log())[:2] == [(0.0, 2.0), (0.0, 2.0)]


class StuckEndpoint:
    """An endpoint whose closing fails."""

    name, resource, host = "stuck", "stuck://", "127.0.0.1"

    def listen(self, context):
        pass

    def start(self):
        pass

    def close(self):
        raise RuntimeError("stuck")


def test_an_endpoint_that_fails_to_close_leaves_the_others_and_the_guard_closed(qm4410_sim, caplog):
    supply = HeldSupply(qm4410_sim())
    supply.open()
    try:
        rfc2217 = Rfc2217(port=0)
        server = Server(supply, [rfc2217, StuckEndpoint()], rules=Rules(trip_current=1.0))
        server.start()
        address = rfc2217.resource.removeprefix("rfc2217://").rsplit(":", 1)
        server.close()
        assert not server.guard.running and "stuck did not close cleanly" in caplog.text
        with pytest.raises(ConnectionRefusedError):
            socket.create_connection((address[0], int(address[1])), timeout=5).close()
    finally:
        supply.close()
