"""qm4410.pymeasure: the exact bytes it sends (PyMeasure's expected_protocol),
and live through pyvisa-py against `qm4410 serve --sim`."""

import pytest

pytest.importorskip("pymeasure", reason="the pymeasure extra is not installed: pip install 'qm4410[pymeasure]'")

from pymeasure.test import expected_protocol  # noqa: E402 (once the extra is known to be there)
from serving import vanishing  # noqa: E402

from qm4410.pymeasure import QM4410SCPI  # noqa: E402 (likewise)
from qm4410.supply.errors import NoReply, OutOfRange, SupplyError, SwitchOffFailed

NO_ERROR = ("SYST:ERR:ALL?", '0,"No error"')
SWITCHED_OFF = [("OUTP 0", None), NO_ERROR]


@pytest.mark.parametrize(
    "name, value, pairs",
    [
        ("voltage", 5, [("VOLT 5.000", None), NO_ERROR]),
        ("voltage", 1.0009, [("VOLT 1.000", None), NO_ERROR]),  # truncated, as every door sends it
        ("current_limit", 0.029, [("CURR 0.029", None), NO_ERROR]),
        ("output_enabled", True, [("OUTP 1", None), NO_ERROR]),
    ],
)
def test_a_set_is_sent_on_the_grid_and_its_errors_read(name, value, pairs):
    with expected_protocol(QM4410SCPI, pairs) as psu:
        setattr(psu, name, value)


@pytest.mark.parametrize(
    "name, value, error, message",
    [
        ("voltage", -1, OutOfRange, "the voltage -1 V is outside what the supply can be sent, 0 to 4294967.295 V"),
        ("current_limit", 70.0, OutOfRange, "the current limit 70.0 A is outside the supply's range, 0 to 65.535 A"),
        ("voltage", "5", TypeError, "the voltage"),
        ("output_enabled", 1, TypeError, "output_enabled is True or False"),
    ],
)
def test_a_bad_value_is_refused_before_anything_is_sent(name, value, error, message):
    with expected_protocol(QM4410SCPI, []) as psu, pytest.raises(error) as refused:
        setattr(psu, name, value)
    assert message in str(refused.value)


@pytest.mark.parametrize(
    "pairs, error, message",
    [
        (
            [
                ("VOLT 31.000", None),
                ("SYST:ERR:ALL?", '''-222,"Data out of range;31 V is above the guard's voltage limit, 30 V"'''),
            ],
            OutOfRange,
            "31 V is above the guard's voltage limit, 30 V",
        ),
        (
            [("OUTP 1", None), ("SYST:ERR:ALL?", '-200,"Execution error;the guard tripped on current",0,"No error"')],
            SupplyError,
            "-200, Execution error;the guard tripped on current",
        ),
    ],
)
def test_a_set_the_server_refused_raises_its_error(pairs, error, message):
    with expected_protocol(QM4410SCPI, pairs) as psu, pytest.raises(error, match=message):
        if pairs[0][0].startswith("VOLT"):
            psu.voltage = 31
        else:
            psu.output_enabled = True


def test_a_reading_the_supply_did_not_answer_raises_rather_than_passing_for_a_value():
    lost = '-240,"Hardware error;the supply did not answer the status request"'
    with expected_protocol(QM4410SCPI, [("MEAS:VOLT?", "9.91E+37"), ("SYST:ERR:ALL?", lost)]) as psu:
        with pytest.raises(NoReply, match="^the supply did not answer the status request$"):
            psu.measured_voltage  # noqa: B018 (the reading is what raises)


@pytest.mark.parametrize(
    "pairs, left",
    [
        (SWITCHED_OFF + [("OUTP?", "0")], "off"),
        # A lost reply is asked again, as the core's switch-off asks it.
        (
            [("OUTP 0", None), ("SYST:ERR:ALL?", '-240,"Hardware error;no reply"')] + SWITCHED_OFF + [("OUTP?", "0")],
            "off",
        ),
        ((SWITCHED_OFF + [("OUTP?", "1")]) * 3, "on"),
    ],
)
def test_shutdown_switches_the_output_off_and_reads_it_back_before_the_base_s(pairs, left):
    with expected_protocol(QM4410SCPI, pairs) as psu:
        if left == "off":
            psu.shutdown()
        else:
            with pytest.raises(SwitchOffFailed, match="the output is still on") as failed:
                psu.shutdown()
            assert failed.value.state == left
        assert psu.isShutdown == (left == "off")


def test_live_through_the_server(start_server):
    server = start_server("--sim", "--load", "10", "--limit-voltage", "12")
    with QM4410SCPI(server.visa, visa_library="@py") as psu:
        # What PyMeasure's own base sends.
        assert psu.id == "QM4410,4410,000000001,102"
        psu.clear()
        psu.reset()  # the factory settings may lie beyond the limit
        assert [error[0] for error in psu.check_errors()] == [-221]
        assert (psu.complete, psu.status, psu.check_errors()) == ("1", "0", [])
        psu.voltage, psu.current_limit, psu.output_enabled = 5, 1, True
        assert (psu.voltage, psu.current_limit, psu.output_enabled) == (5.0, 1.0, True)
        assert (psu.measured_voltage, psu.measured_current) == (5.0, 0.5)
        with pytest.raises(OutOfRange, match="the voltage 13.0 V is outside the range the guard allows, 0 to 12.000 V"):
            psu.voltage = 13
        assert psu.voltage == 5.0
    # The end of the block shut the instrument down, the output switched off.
    assert psu.isShutdown and psu.output_enabled is False
    psu.adapter.close()


def test_live_a_supply_that_stops_answering_raises(start_server, qm4410_sim, tmp_path):
    # Each reading a request of its own, none shared.
    server = start_server("--port", vanishing(qm4410_sim, tmp_path, 8), "--reconnect", "--max-age", "0")
    psu = QM4410SCPI(server.visa, visa_library="@py")
    readings = []
    with pytest.raises(NoReply, match="the supply's port is gone|did not answer"):
        for _ in range(10):
            readings.append(psu.measured_voltage)
    assert readings and all(volts == 0.0 for volts in readings)
    psu.adapter.close()
