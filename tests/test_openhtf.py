"""qm4410.openhtf in a real OpenHTF test against the virtual supply: the
output was on in the phase, and is off after the test, however its phases
ended."""

import pytest

pytest.importorskip("openhtf", reason="the openhtf extra is not installed: pip install 'qm4410[openhtf]'")

import openhtf as htf  # noqa: E402
from openhtf.util.configuration import CONF  # noqa: E402

import qm4410  # noqa: E402
from qm4410.openhtf import SupplyPlug  # noqa: E402


class GuardedSupply(SupplyPlug):
    rules = qm4410.Rules(limit_voltage=12)


@htf.measures(htf.Measurement("measured_voltage").in_range(3.9, 4.1))
@htf.plug(psu=SupplyPlug)
def power_up(test, psu):
    psu.supply.voltage, psu.supply.current_limit, psu.supply.output = 5.0, 0.5, True
    test.measurements.measured_voltage = psu.supply.status().measured_voltage


@htf.PhaseOptions()
def slips(test):
    raise RuntimeError("the fixture slipped")


@htf.plug(psu=SupplyPlug)
def overshoots(test, psu):
    psu.supply.voltage = 15.0


@pytest.mark.parametrize(
    "plug, phases, outcome, why",
    [
        (SupplyPlug, [power_up], "PASS", None),
        (SupplyPlug, [power_up, slips], "ERROR", "RuntimeError"),
        (GuardedSupply, [power_up, overshoots], "ERROR", "OutOfRange"),
    ],
)
def test_the_output_is_off_after_the_test_however_it_ended(qm4410_sim, plug, phases, outcome, why):
    port = qm4410_sim(load=8)
    records = []
    test = htf.Test(*(phase.with_plugs(psu=plug) for phase in phases))
    test.add_output_callbacks(records.append)
    CONF.save_and_restore(test.execute, qm4410_port=port)()
    [record] = records
    assert record.outcome.name == outcome
    assert [detail.code for detail in record.outcome_details] == ([why] if why else [])
    # The first phase switched the output on: 5 V held at 4 V by 0.5 A into 8 ohms.
    [powered] = [phase for phase in record.phases if phase.name == "power_up"]
    assert powered.measurements["measured_voltage"].measured_value.value == 4.0
    with qm4410.Supply(port) as supply:
        assert supply.status().output is False
