"""Sweeps against the virtual supply: the rows they record, and the stop
conditions that end them."""

import pytest

from qm4410.workflows import Span, draw_iv, sweep


def measured(rows):
    return [(row["asked_voltage"], row["asked_current"], row["current_real"], row["out_mode"]) for row in rows]


@pytest.mark.parametrize(
    "ranges, both_ways, leave_on, expected, output_after",
    [
        # 8 ohms on a 1 A limit: constant voltage up to 8 V, constant current above.
        (
            dict(voltage=Span(0, 12, 4), current=1.0),
            True,
            False,
            [
                (0.0, 1.0, 0.0, "CV"),
                (4.0, 1.0, 0.5, "CV"),
                (8.0, 1.0, 1.0, "CV"),
                (12.0, 1.0, 1.0, "CC"),
                (8.0, 1.0, 1.0, "CV"),
                (4.0, 1.0, 0.5, "CV"),
                (0.0, 1.0, 0.0, "CV"),
            ],
            "off",
        ),
        # 4 V on 8 ohms draws 0.5 A: a lower limit holds the current.
        (
            dict(current=(0.2, 1.0, 0.4), voltage=4.0),
            False,
            True,
            [(4.0, 0.2, 0.2, "CC"), (4.0, 0.6, 0.5, "CV"), (4.0, 1.0, 0.5, "CV")],
            "on",
        ),
    ],
    ids=["voltage-both-ways", "current-left-on"],
)
def test_sweep_records_a_row_per_step(open_supply, ranges, both_ways, leave_on, expected, output_after):
    supply = open_supply(load=8)
    progress = []
    outcome = sweep(supply, **ranges, dwell=0.01, both_ways=both_ways, leave_on=leave_on, on_progress=progress.append)
    assert outcome.stopped_by is None
    assert measured(outcome.rows) == expected
    assert [row["step"] for row in outcome.rows] == list(range(1, len(expected) + 1))
    assert all(row["out_status"] == "on" and row["answered"] for row in outcome.rows)
    assert [(p.step, p.steps) for p in progress] == [(k, len(expected)) for k in range(1, len(expected) + 1)]
    assert supply.read_dev_status()["out_status"] == output_after


@pytest.mark.parametrize(
    "load, limit, condition, stopped_by, last_voltage",
    [
        (8, 1.0, dict(stop_current=0.5), "stop_current", 4.0),  # 4 V / 8 ohms
        (8, 1.0, dict(stop_power=4.5), "stop_power", 6.0),  # 6 V x 0.75 A
        (1, 20.0, {}, "over_temperature", 10.0),  # 100 W, above the supply's 80 W
    ],
)
def test_stop_condition_ends_the_sweep_with_the_output_off(
    open_supply, load, limit, condition, stopped_by, last_voltage
):
    supply = open_supply(load=load)
    outcome = sweep(supply, voltage=(0, 12, 2), current=limit, dwell=0, leave_on=True, **condition)
    assert outcome.stopped_by == stopped_by
    assert outcome.rows[-1]["asked_voltage"] == last_voltage
    assert f"at voltage {last_voltage:.3f} V" in outcome.reason
    assert supply.read_dev_status()["out_status"] == "off"


def test_iv_plot_of_a_sweep_with_an_unanswered_reading(fake, tmp_path):
    rows = sweep(fake(unanswered={4}), voltage=(0, 12, 4), current=1.0, dwell=0).rows
    assert [row["answered"] for row in rows].count(False) == 1
    draw_iv({"8 ohm load": rows}, tmp_path / "iv.png")
    assert (tmp_path / "iv.png").read_bytes().startswith(b"\x89PNG")
