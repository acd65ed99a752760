"""set: safe order, the driver's own lines, read-back and refusals."""

import pytest

from conftest import run_cli, status_of


@pytest.mark.parametrize(
    "options, expected",
    [
        (
            ["--mode", "remote", "--max-voltage", "12", "--voltage", "5", "--current", "0.25", "--output", "on"],
            {"work_mode": "remote", "voltage_max_set": 12.0, "voltage_set": 5.0, "current_set": 0.25, "out_status": "on"},
        ),
        # Set-points go out truncated to whole mV/mA: within the resolution, so accepted.
        (["--voltage", "1.0009", "--current", "0.0019"], {"voltage_set": 1.0, "current_set": 0.001}),
        (["--output", "off", "--mode", "local"], {"out_status": "off", "work_mode": "local"}),
    ],
)
def test_settings_reach_the_supply_and_read_back(sim_port, options, expected):
    result = run_cli("set", "--port", sim_port, *options)
    assert result.returncode == 0, result.stderr
    record = status_of(sim_port)
    assert {key: record[key] for key in expected} == expected
    # The table printed after the settings is the supply's state right then.
    assert f"voltage_set      {record['voltage_set']:.3f} V" in result.stdout


@pytest.mark.parametrize("verbose", [False, True])
def test_the_drivers_own_lines_are_a_trace_on_request(sim_port, verbose):
    result = run_cli("set", "--port", sim_port, "--voltage", "3.3", "--current", "0.5", *(["-v"] if verbose else []))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[0].split()[0] == "current_real"  # the table alone
    trace = [line for line in result.stderr.splitlines() if line.startswith("qm4410: driver: ")]
    assert [line.split(", read:")[0] for line in trace] == (
        ["qm4410: driver: set voltage", "qm4410: driver: set current"] if verbose else []
    )


@pytest.mark.parametrize(
    "options",
    [
        [],
        ["--voltage", "-0.5"],
        ["--current", "nan"],
        ["--max-voltage", "inf"],
        ["--voltage", "4294967.296"],
        ["--output", "ON"],
        ["--mode", "pc"],
    ],
)
def test_refused_settings_send_nothing(sim_port, options):
    before = status_of(sim_port)
    result = run_cli("set", "--port", sim_port, *options)
    assert result.returncode == 2
    assert "Traceback" not in result.stderr and result.stdout == ""
    assert status_of(sim_port) == before


@pytest.mark.parametrize(
    "options, warning",
    [
        # The maximum stays at its 30 V: the output cannot reach the 40 V set.
        (["--voltage", "40", "--output", "on"],
         "the voltage set, 40.000 V, is above the maximum voltage: the output is held at 30.000 V at most"),
        # 30 V into the virtual supply's 10 ohms is 90 W, beyond its 80 W.
        (["--voltage", "30", "--current", "5", "--output", "on"], "the supply reports over-temperature"),
    ],
)
def test_settings_taken_but_warned_about_exit_16(sim_port, options, warning):
    result = run_cli("set", "--port", sim_port, *options)
    assert result.returncode == 16, result.stderr
    assert result.stderr == f"qm4410: warning: {warning}\n"
    assert result.stdout.startswith("current_real ")  # the read-back is shown as ever


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
    from qm4410.cli.setting import agrees

    assert agrees(requested, read_back) is expected
