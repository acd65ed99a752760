"""qm4410.qcodes against the virtual supply: do1d and dond store what the
supply held; the measured pair comes from one status exchange; refusals
carry the core's words and send nothing; a stepped set ramps from where the
supply stands, a guarded one through the guard's slew; a supply that stops
answering raises, never leaving an old value to be read."""

import logging
import math
import re

import pytest

pytest.importorskip("qcodes", reason="the qcodes extra is not installed: pip install 'qm4410[qcodes]'")

import qcodes  # noqa: E402
from qcodes.dataset import LinSweep, do1d, dond, initialise_or_create_database_at, load_or_create_experiment  # noqa: E402
from qcodes.validators import Numbers  # noqa: E402

import qm4410  # noqa: E402
from qm4410.qcodes import QM4410  # noqa: E402


@pytest.fixture
def instrument():
    """Makes instruments (each with a name of its own), closed after the test."""
    made = []

    def instrument(port, **options):
        made.append(QM4410(f"psu{len(made)}", port, **options))
        return made[-1]

    yield instrument
    for psu in made:
        psu.close()


@pytest.fixture
def experiment(tmp_path):
    """An experiment in a database of the test's own."""
    before = qcodes.config["core"]["db_location"]
    initialise_or_create_database_at(tmp_path / "supply.db")
    yield load_or_create_experiment("supply", sample_name="8 ohm load")
    qcodes.config["core"]["db_location"] = before


@pytest.fixture
def exchanges(caplog):
    """What the supply was sent since the last clear(): the core logs one
    DEBUG line an exchange ('voltage 500 mV', 'status', ...)."""
    caplog.set_level(logging.DEBUG, logger="qm4410")

    def exchanges():
        return [record.getMessage().split(": ")[1] for record in caplog.records if record.name == "qm4410"]

    exchanges.clear = caplog.clear
    return exchanges


def stored(dataset, name):
    return {key: list(values) for key, values in dataset.get_parameter_data()[name].items()}


def test_do1d_stores_what_the_supply_held(qm4410_sim, instrument, experiment, exchanges):
    psu = instrument(qm4410_sim(load=8))
    psu.current_limit(0.5)
    psu.output(True)
    dataset, *_ = do1d(psu.voltage, 0, 6, 7, 0, psu.measured, psu.power, exp=experiment)
    volts = [0.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0]
    # Constant voltage up to 4 V, where 0.5 A into 8 ohms reaches the limit.
    assert stored(dataset, "psu0_measured_voltage") == {
        "psu0_voltage": volts,
        "psu0_measured_voltage": [min(v, 4.0) for v in volts],
    }
    assert stored(dataset, "psu0_measured_current")["psu0_measured_current"] == [min(v / 8, 0.5) for v in volts]
    assert stored(dataset, "psu0_power")["psu0_power"] == [min(v, 4.0) * min(v / 8, 0.5) for v in volts]
    exchanges.clear()
    assert psu.measured() == (4.0, 0.5)
    assert exchanges() == ["status"]  # the pair from one reading


def test_dond_stores_text_and_the_supply_s_regulation(qm4410_sim, instrument, experiment):
    psu = instrument(qm4410_sim(load=8))
    psu.voltage(6.0)
    psu.output(True)
    dataset, *_ = dond(LinSweep(psu.current_limit, 0.9, 0.5, 5), psu.measured, psu.mode, exp=experiment)
    limits = [0.9, 0.8, 0.7, 0.6, 0.5]
    mode = stored(dataset, "psu0_mode")
    assert mode["psu0_current_limit"] == pytest.approx(limits)
    # 6 V into 8 ohms draws 0.75 A: held at 6 V until the limit is below that.
    assert mode["psu0_mode"] == ["CV", "CV", "CC", "CC", "CC"]
    currents = stored(dataset, "psu0_measured_current")["psu0_measured_current"]
    assert currents == pytest.approx([0.75, 0.75, 0.7, 0.6, 0.5])


@pytest.mark.parametrize(
    "parameter, value, rules, refusal, message",
    [
        (
            "voltage",
            -1,
            None,
            qm4410.OutOfRange,
            "the voltage -1 V is outside what the supply can be sent, 0 to 4294967.295 V",
        ),
        (
            "current_limit",
            70.0,
            None,
            qm4410.OutOfRange,
            "the current limit 70.0 A is outside the supply's range, 0 to 65.535 A",
        ),
        ("voltage", math.nan, None, qm4410.OutOfRange, "the voltage must be a finite number, not nan"),
        ("current_limit", "0.5", None, TypeError, "the current limit must be a number, not str"),
        (
            "voltage",
            15,
            qm4410.Rules(limit_voltage=12),
            qm4410.OutOfRange,
            "the voltage 15 V is outside the range the guard allows, 0 to 12.000 V",
        ),
        (
            "max_voltage",
            15,
            qm4410.Rules(limit_voltage=12),
            qm4410.OutOfRange,
            "the maximum voltage 15 V is outside the range the guard allows, 0 to 12.000 V",
        ),
    ],
)
def test_a_refused_value_carries_the_core_s_words_and_sends_nothing(
    qm4410_sim, instrument, exchanges, parameter, value, rules, refusal, message
):
    psu = instrument(qm4410_sim(), guard=rules)
    exchanges.clear()
    with pytest.raises(refusal) as refused:
        getattr(psu, parameter)(value)
    assert refused.value.args[0] == f"{message}; Parameter: psu0.{parameter}"
    assert exchanges() == []


def test_a_value_past_the_validator_is_still_refused_unsent(qm4410_sim, instrument, exchanges):
    psu = instrument(qm4410_sim(), guard=qm4410.Rules(limit_voltage=12))
    assert (psu.voltage.vals.min_value, psu.voltage.vals.max_value) == (0, 12)
    psu.voltage.vals = Numbers(0, 100)
    exchanges.clear()
    with pytest.raises(
        qm4410.OutOfRange, match=re.escape("the voltage 15 V is outside the range the guard allows, 0 to 12.000 V")
    ):
        psu.voltage(15)
    assert exchanges() == []


@pytest.mark.parametrize(
    "rules, step, sent",
    [
        # QCoDeS's steps, from where the supply stands (0.7 V, set behind
        # QCoDeS's back) and on the supply's grid: 0.7 + 0.1 is 0.8, not the
        # float just below it, which would send 799 mV.
        (None, 0.1, [800, 900, 1000, 1100, 1200]),
        # A guard's slew of 5 V/s: steps of a fifth of that, each when due.
        (qm4410.Rules(slew_voltage=5), None, [1700, 2700]),
    ],
)
def test_a_set_ramps_from_where_the_supply_stands(qm4410_sim, instrument, exchanges, rules, step, sent):
    psu = instrument(qm4410_sim(), guard=rules)
    psu.voltage.cache.set(0.0)  # what QCoDeS last knew
    psu.supply.voltage = 0.7
    psu.voltage.step = step
    exchanges.clear()
    psu.voltage(1.2 if step else 2.7)
    assert [exchange for exchange in exchanges() if exchange.startswith("voltage ")] == [
        f"voltage {units} mV" for units in sent
    ]
    assert psu.supply.status().voltage == sent[-1] / 1000


def test_a_step_finer_than_the_supply_s_is_refused(qm4410_sim, instrument):
    psu = instrument(qm4410_sim())
    psu.voltage.step = 0.0005
    finer = "the step of psu0_voltage, 0.0005 V, is finer than the supply's 0.001 V"
    with pytest.raises(qm4410.OutOfRange, match=finer):
        psu.voltage(1.0)
    assert psu.supply.status().voltage == 0.0


@pytest.mark.parametrize("fault, error", [({"drop_every": 3}, qm4410.NoReply), ({"vanish_after": 2}, qm4410.PortGone)])
def test_a_supply_that_stops_answering_raises_rather_than_repeating(qm4410_sim, instrument, fault, error):
    psu = instrument(qm4410_sim(**fault))  # opening is the first request
    assert psu.measured_voltage() == 0.0
    with pytest.raises(error):
        psu.measured_voltage()


def test_a_port_that_cannot_be_opened_is_refused_and_leaves_no_instrument(tmp_path):
    with pytest.raises(qm4410.Refused) as refused:
        QM4410("nowhere", str(tmp_path / "ttyUSB9"))
    assert refused.value.kind == qm4410.RefusalKind.PORT_MISSING
    assert not QM4410.exist("nowhere")


def test_a_station_s_address_is_the_port(qm4410_sim):
    port = qm4410_sim()
    station = qcodes.Station()
    station.load_config(f"instruments:\n  psu:\n    type: qm4410.qcodes.QM4410\n    address: {port}\n")
    psu = station.load_instrument("psu")
    try:
        assert (psu.supply.port, psu.get_idn()["model"]) == (port, "4410")
    finally:
        psu.close()


@pytest.mark.parametrize("given, said", [(("port", "address"), "both port and address"), ((), "neither")])
def test_the_port_is_given_once_as_port_or_address(qm4410_sim, given, said):
    port = qm4410_sim()
    with pytest.raises(TypeError, match=f"takes the supply's port as port or as address, one of them: {said}"):
        QM4410("twice", **dict.fromkeys(given, port))
    assert not QM4410.exist("twice")
