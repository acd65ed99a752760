"""set: safe order, the trace, read-back and refusals."""

import pytest
from running import SUPPLY_WARNS, USAGE, status_of

from qm4410.cli.commands.set import agrees
from qm4410.supply import setpoints


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            ["--mode", "remote", "--max-voltage", "12", "--voltage", "5", "--current", "0.25", "--output", "on"],
            {
                "work_mode": "remote",
                "voltage_max_set": 12.0,
                "voltage_set": 5.0,
                "current_set": 0.25,
                "out_status": "on",
            },
        ),
        (["--output", "off", "--mode", "local"], {"out_status": "off", "work_mode": "local"}),
    ],
)
def test_settings_reach_the_supply_and_read_back(cli, qm4410_port, options, expected):
    result = cli("set", "--port", qm4410_port, *options)
    assert result.returncode == 0, result.stderr
    record = status_of(qm4410_port)
    assert {key: record[key] for key in expected} == expected
    # The table printed after the settings is the supply's state right then.
    assert f"voltage           {record['voltage_set']:.3f} V" in result.stdout


# What the supply holds for each value, in whole mV or mA, as the core's one
# rule has it (the value as written, truncated); or its refusal, nothing sent.
@pytest.mark.parametrize(
    "option, value",
    [
        ("--voltage", "1.0009"),
        ("--current", "0.0019"),
        ("--current", "0.0004"),
        ("--current", "0.029"),
        ("--current", "65.535"),
        ("--max-voltage", "4294967.295"),
        ("--current", "65.536"),
        ("--current", "70"),
        ("--voltage", "-0.001"),
        ("--voltage", "nan"),
        ("--current", "inf"),
        ("--max-voltage", "4294967.296"),
    ],
)
def test_a_value_is_held_as_the_core_sends_it_or_refused_in_its_words(cli, qm4410_port, option, value):
    quantity, what, key = {
        "--voltage": ("voltage", "the voltage", "voltage_set"),
        "--max-voltage": ("voltage", "the maximum voltage", "voltage_max_set"),
        "--current": ("current", "the current limit", "current_set"),
    }[option]
    before = status_of(qm4410_port)
    try:
        units = setpoints.to_units(quantity, float(value), what)
    except ValueError as refusal:
        result = cli("set", "--port", qm4410_port, option, value)
        assert result.returncode == USAGE and result.stderr.endswith(f"argument {option}: {refusal}\n")
        assert status_of(qm4410_port) == before
        return
    result = cli("set", "--port", qm4410_port, option, value)
    assert result.returncode in (0, SUPPLY_WARNS), result.stderr  # a maximum below the voltage warns
    assert round(status_of(qm4410_port)[key] * 1000) == units


@pytest.mark.parametrize("verbose", [False, True])
def test_every_exchange_is_a_trace_on_request(cli, qm4410_port, verbose):
    result = cli("set", "--port", qm4410_port, "--voltage", "3.3", "--current", "0.5", *(["-v"] if verbose else []))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0].split()[0] == "measured_voltage"  # the table alone
    trace = [line for line in result.stderr.splitlines() if line.startswith("qm4410: driver: ")]
    assert len(trace) == len(result.stderr.splitlines())
    exchanges = [line.split(": ")[3] for line in trace]  # "qm4410: driver: PORT: WHAT: how it went"
    assert exchanges == (["voltage 3300 mV", "current limit 500 mA", "status"] if verbose else [])
    if verbose:  # with the reply the supply gave, its own request's word in it
        assert ": aa 01 23 " in trace[0] and ": aa 01 24 " in trace[1] and ": aa 01 26 " in trace[2]


@pytest.mark.parametrize(
    "options, warning",
    [
        # The maximum stays at its 30 V: the output cannot reach the 40 V set.
        (
            ["--voltage", "40", "--output", "on"],
            "the voltage set, 40.000 V, is above the maximum voltage: the output is held at 30.000 V at most",
        ),
        # 30 V into the virtual supply's 10 ohms is 90 W, beyond its 80 W.
        (["--voltage", "30", "--current", "5", "--output", "on"], "the supply reports over-temperature"),
    ],
)
def test_settings_taken_but_warned_about_exit_16(cli, qm4410_port, options, warning):
    result = cli("set", "--port", qm4410_port, *options)
    assert result.returncode == SUPPLY_WARNS, result.stderr
    assert result.stderr == f"qm4410: warning: {warning}\n"
    assert result.stdout.startswith("measured_voltage ")  # the read-back is shown as ever


@pytest.mark.parametrize(
    "requested, read_back, expected",
    [
        (1.0009, 1.000, True),  # truncated to 1000 mV on the way out
        (1.001, 1.000, True),  # a read-back one unit short is within the resolution
        (1.002, 1.000, False),
        (0.25, 0.249, True),  # a supply that rounds instead is within its resolution
        (5.0, 5.002, False),
        (0.25, 0.2485, False),
        ("on", "on", True),
        ("remote", "local", False),
    ],
)
def test_read_back_agrees_within_the_resolution(requested, read_back, expected):
    assert agrees(requested, read_back) is expected
