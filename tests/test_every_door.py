"""The same request gives the same result through every door: the command's
set, ramp and run, a script's Supply and the workflows, and the server's
SCPI and EPICS endpoints. The supply holds the same millivolts and
milliamperes, and the same values are refused at every door before
anything is sent."""

import asyncio
import re
import types

import pytest

import qm4410
from qm4410.cli import main
from qm4410.server import HeldSupply
from qm4410.server.guarding import guard_over
from qm4410.server.held_supply import Asker
from qm4410.server.scpi.reporting import Conditions
from qm4410.server.scpi.session import Session
from qm4410.supply import OutOfRange, Supply
from qm4410.workflows import ramp

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


DOORS = [through_set, through_ramp, through_run, through_supply, through_workflows, through_scpi, through_epics]


def held(port):
    with Supply(port) as supply:
        status = supply.status()
    return {"voltage": round(status.voltage * 1000), "current": round(status.current_limit * 1000)}


@pytest.fixture
def nobody_holds_the_port(monkeypatch):
    """The driver asks lsof who holds the port at every open: here nobody
    does, and asking costs most of this test's time."""
    nobody = types.SimpleNamespace(stdout=b"")
    monkeypatch.setattr(qm4410, "subprocess", types.SimpleNamespace(PIPE=-1, run=lambda *args, **kwargs: nobody))


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
