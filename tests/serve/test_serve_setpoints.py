"""The server's doors take set-points by the core's rule: a SCPI client and
an RFC 2217 client get exactly the units a script would, and are refused
exactly what a script is, with the core's words; the limits are compared
in those same units. What bounds a set-point (the supply's maximum voltage,
a limit) is what MIN and MAX answer and what the EPICS drive limits show."""

import asyncio

import pytest
from fakes import RESTORE_FACTORY, SET_CURRENT, SET_MAX_VOLTAGE, SET_VOLTAGE, request

from qm4410.server import Asker, HeldSupply
from qm4410.server.guarding import frame_refusal, guard_over
from qm4410.server.scpi.reporting import Conditions
from qm4410.server.scpi.session import Session
from qm4410.supply import Guard, OutOfRange, Rules, Supply, setpoints

QUANTITY = {"VOLT": "voltage", "CURR": "current"}
BEFORE = {"VOLT": 3000, "CURR": 2000}  # what each row starts from, in mV and mA


def refused_by_core(quantity: str, value: float) -> str:
    with pytest.raises(OutOfRange) as refused:
        setpoints.to_units(quantity, value)
    return f'-222,"Data out of range;{refused.value}"'


# (limits, command, parameter): the units it sets, or the error it is refused with.
SCPI_SETPOINTS = {
    (None, "VOLT", "1.0009"): 1000,
    (None, "VOLT", "1500 mV"): 1500,
    (None, "CURR", "0.029"): 29,
    (None, "CURR", "0.0004"): 0,
    (None, "CURR", "65.535"): 65535,
    (None, "VOLT", "4294967.295"): 4294967295,
    (None, "CURR", "65.536"): refused_by_core("current", 65.536),
    (None, "CURR", "65536 mA"): refused_by_core("current", 65.536),
    (None, "CURR", "70"): refused_by_core("current", 70.0),
    (None, "VOLT", "4294967.296"): refused_by_core("voltage", 4294967.296),
    (None, "VOLT", "-0.001"): refused_by_core("voltage", -0.001),
    (None, "VOLT", "NaN"): '-224,"Illegal parameter value;NaN is not a number"',
    (
        None,
        "VOLT",
        "1E99999999999999999999",
    ): '-222,"Data out of range;1E99999999999999999999: its exponent is out of range"',
    # A limit is the units its value is sent as, by the same rule.
    (0.029, "CURR", "29 mA"): 29,
    (0.029, "CURR", "0.0299"): 29,
    (0.029, "CURR", "0.03"): (
        '''-222,"Data out of range;the current limit 0.03 A is outside the range the guard allows, 0 to 0.029 A"'''
    ),
    (0, "CURR", "MAX"): 0,  # a limit of 0 holds it at 0
    (0, "CURR", "0.001"): (
        '''-222,"Data out of range;the current limit 0.001 A is outside the range the guard allows, 0 to 0.000 A"'''
    ),
}


def scpi_session(supply, guard):
    return Session(supply, guard, Asker("scpi", "test"), Conditions(guard))


def test_scpi_sets_the_core_s_units_and_refuses_what_the_core_refuses(qm4410_sim):
    supply = HeldSupply(qm4410_sim())
    supply.open()
    try:
        unlimited = scpi_session(supply, guard_over(supply))
        outcomes = {}
        for row in SCPI_SETPOINTS:
            limit, command, parameter = row
            quantity = QUANTITY[command]
            unlimited.execute(f"VOLT {BEFORE['VOLT']} mV;CURR {BEFORE['CURR']} mA")
            session = scpi_session(supply, guard_over(supply, Rules(limit_current=limit)))
            session.execute(f"{command} {parameter}")
            error = session.execute("SYST:ERR?")
            held = setpoints.to_units(quantity, float(session.execute(f"{command}?")))
            if error == '0,"No error"':
                outcomes[row] = held
            else:
                outcomes[row] = error
                assert held == BEFORE[command], f"{row} was refused, but sent"
    finally:
        supply.close()
    assert outcomes == SCPI_SETPOINTS


@pytest.mark.parametrize(
    "frame, rules, refusal",
    [
        (request(SET_CURRENT, 65_535), Rules(), None),
        (
            request(SET_CURRENT, 65_536),
            Rules(),
            "the current limit 65.536 A is outside the supply's range, 0 to 65.535 A",
        ),
        (request(SET_CURRENT, 29), Rules(limit_current=0.029), None),
        (
            request(SET_CURRENT, 30),
            Rules(limit_current=0.029),
            "the current limit 0.03 A is outside the range the guard allows, 0 to 0.029 A",
        ),
        (
            request(SET_MAX_VOLTAGE, 1001),
            Rules(limit_voltage=1.0009),
            "the maximum voltage 1.001 V is outside the range the guard allows, 0 to 1.000 V",
        ),
        (request(SET_VOLTAGE, 1000), Rules(limit_voltage=1.0009), None),
        (
            request(RESTORE_FACTORY),
            Rules(limit_voltage=30),
            "the factory settings may lie beyond the guard's limits, so a reset is refused",
        ),
    ],
)
def test_rfc2217_frames_are_held_to_the_core_s_range_and_to_the_limits(frame, rules, refusal):
    assert frame_refusal(frame, Guard(Supply("unopened"), rules)) == refusal


@pytest.mark.parametrize(
    "frame, refusal",
    [
        (request(SET_VOLTAGE, 20_000), None),
        (request(SET_VOLTAGE, 20_001), "the voltage 20.001 V is outside the supply's range, 0 to 20.000 V"),
        (request(SET_MAX_VOLTAGE, 40_000), None),  # which the maximum voltage does not bound
    ],
)
def test_rfc2217_frames_are_held_to_the_supply_s_maximum_voltage_as_the_guard_knows_it(frame, refusal):
    guard = Guard(Supply("unopened"))
    guard.note_max_voltage(20_000)
    assert frame_refusal(frame, guard) == refusal


def test_min_and_max_are_the_supply_s_bounds_and_each_reading_is_one_status_read(qm4410_sim):
    sim = qm4410_sim.start("--verbose")  # 10 ohms; its maximum voltage is 30 V
    supply = HeldSupply(sim.port, max_age=0)  # no reading shared with the one before
    supply.open()
    try:
        session = scpi_session(supply, guard_over(supply))
        for line, answer, reads in [
            ("VOLT? MAX;CURR? MAX;VOLT? MIN;CURR? MIN", "30.000;65.535;0.000;0.000", 1),
            ("APPL 5,0.4;OUTP ON", None, 0),
            ("APPL?", "5.000,0.400", 1),
            ("MEAS:ALL?", "4.000,0.400,1.600000", 1),  # held at 0.4 A, 4 V into 10 ohms
            ("VOLT:PROT 12;APPL MAX,MIN;APPL?", "12.000,0.000", 2),  # MAX as the supply stands when it runs
            ("VOLT:PROT? MAX", None, 0),
            (
                "SYST:ERR?",
                """-224,"Illegal parameter value;MAX: the supply does not tell the highest maximum voltage it """
                '''takes, and the server's voltage limit (--limit-voltage) is not set"''',
                0,
            ),
        ]:
            before = sim.log().count("read status")
            assert (session.execute(line), sim.log().count("read status") - before) == (answer, reads), line
    finally:
        supply.close()


def test_the_epics_drive_limits_follow_the_supply_s_maximum_voltage(qm4410_sim):
    pytest.importorskip("caproto", reason="the epics extra is not installed")
    from qm4410.server.epics.names import pv_names
    from qm4410.server.epics.pvs import Pvs

    supply = HeldSupply(qm4410_sim())
    supply.open()
    try:
        guard = guard_over(supply, Rules(limit_current=2))
        pvs = Pvs("B:", guard)
        assert set(pvs.pvdb) == pv_names("B:")  # the names a rack's check knows without caproto

        def limits():
            return [
                (pvs.pvdb[name].upper_ctrl_limit, pvs.pvdb[name].upper_disp_limit)
                for name in ("B:VOLT_SP", "B:CURR_SP", "B:MAX_VOLT_SP")
            ]

        # Before a reading nothing but what can be sent bounds the voltage: EPICS's "none given".
        assert limits() == [(0, 0), (2, 2), (0, 0)]
        asyncio.run(pvs.post(guard.status(), None))
        assert limits() == [(30, 30), (2, 2), (0, 0)]
        asyncio.run(pvs.pvdb["B:MAX_VOLT_SP"].write(20.0))
        asyncio.run(pvs.post(guard.status(), None))
        assert limits() == [(20, 20), (2, 2), (0, 0)]
    finally:
        supply.close()
