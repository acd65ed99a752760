"""Profile runs: steps at their planned moments, settings in a safe order,
readings every interval, and the run against the virtual supply."""

import pytest

from qm4410.workflows import parse_profile, plan, run_profile


def alternating(steps):
    return parse_profile(
        "duration,voltage,current,output\n" + "".join(f"1,{1 + k % 2},1,on\n" for k in range(steps)), "csv"
    )


def test_steps_keep_their_planned_moments_however_long_exchanges_take(fake):
    # Each step costs four exchanges of 50 ms besides its readings: one
    # after another, 200 steps would end 10 s late.
    supply = fake(exchange_s=0.05)
    profile = alternating(100)
    outcome = run_profile(supply, profile, repeat=2, interval=0.25)
    first, *_ = supply.calls
    start = first[0]
    planned = [start + step.start_s for step in plan(profile, 2).steps]
    assert [moment for moment, _ in supply.sent("set_out_voltage")] == pytest.approx(planned, abs=1e-6)
    # Three readings within each step besides the one after its settings,
    # on the step's own grid.
    samples = [moment for moment, _ in supply.sent("read_dev_status")]
    assert samples[:8] == pytest.approx(
        [start + 0.15, start + 0.25, start + 0.5, start + 0.75, start + 1.05, start + 1.25, start + 1.5, start + 1.75],
        abs=1e-6,
    )
    assert len(outcome.rows) == 4 * 200
    assert [(row["cycle"], row["step"]) for row in outcome.rows[398:402]] == [(1, 100), (1, 100), (2, 1), (2, 1)]
    assert supply.output == "off"


def test_changes_go_in_a_safe_order(fake):
    profile = parse_profile(
        "duration,voltage,current,output\n"
        "1,5,1,on\n"  # set-points first, then on
        "1,12,0.2,\n"  # the current comes down before the voltage goes up
        "1,3,0.5,\n"  # the voltage comes down before the current goes up
        "1,3,0.5,\n"  # nothing changes: nothing is sent
        "1,,,off\n",
        "csv",
    )
    supply = fake()
    run_profile(supply, profile, leave_on=True)
    settings = [(name, argument) for _, name, argument in supply.calls if name != "read_dev_status"]
    assert settings == [
        ("set_out_voltage", 5.0),
        ("set_out_current", 1.0),
        ("set_ouput_mode", "on"),
        ("set_out_current", 0.2),
        ("set_out_voltage", 12.0),
        ("set_out_voltage", 3.0),
        ("set_out_current", 0.5),
        ("set_ouput_mode", "off"),
    ]


def test_a_reading_without_an_answer_is_a_row_that_says_so(fake):
    supply = fake(unanswered={5})  # the first step's second reading
    rows = run_profile(supply, alternating(2), interval=0.5).rows
    assert [row["answered"] for row in rows] == [True, False, True, True]
    unanswered = rows[1]
    assert (unanswered["step"], unanswered["asked_voltage"], unanswered["asked_current"]) == (1, 1.0, 1.0)
    assert all(
        unanswered[key] is None
        for key in ("voltage_real", "current_real", "power_w", "out_mode", "beyond_temp", "out_status", "voltage_set")
    )


def test_profile_against_the_virtual_supply(open_supply, tmp_path):
    supply = open_supply(load=4)
    profile = parse_profile(
        '[[step]]\nduration = 0.1\nvoltage = 2.0\ncurrent = 1.0\noutput = "on"\n'
        "[[step]]\nduration = 0.1\nvoltage = 6.0\n",
        "toml",
    )
    logged = []
    outcome = run_profile(supply, profile, repeat=2, on_row=logged.append)
    assert logged == outcome.rows
    assert [
        (row["cycle"], row["step"], row["voltage_real"], row["current_real"], row["out_mode"]) for row in outcome.rows
    ] == [
        (1, 1, 2.0, 0.5, "CV"),
        (1, 2, 4.0, 1.0, "CC"),
        (2, 1, 2.0, 0.5, "CV"),
        (2, 2, 4.0, 1.0, "CC"),
    ]
    assert supply.read_dev_status()["out_status"] == "off"
