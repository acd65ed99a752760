"""A supply that stops answering, or whose port goes away, mid-run: the run
stops, tries to switch the output off, and raises with every row so far.
Faults that come and go on the line are ridden out."""

import pytest

from qm4410.supply.switch_off import MOST_EXCHANGES, SWITCH_OFF_WITHIN_S
from qm4410.workflows import NoAnswerError, parse_profile, ramp, run_profile, sweep

PROFILE = parse_profile("duration,voltage,current,output\n1,2,1,on\n1,4,,\n1,6,,\n", "csv")

WORKFLOWS = {
    "sweep": lambda driver, **callbacks: sweep(driver, voltage=(0, 10, 1), current=1.0, dwell=0.1, **callbacks),
    "ramp": lambda driver, **callbacks: ramp(driver, "voltage", 5.0, rate=1.0, **callbacks),
    "profile": lambda driver, **callbacks: run_profile(driver, PROFILE, interval=0.25, **callbacks),
}


@pytest.mark.parametrize("workflow", WORKFLOWS)
@pytest.mark.parametrize(
    "fault, output_off",
    [
        (dict(lost_from=9), False),  # the port went away
        (dict(silent_from=9), False),  # the supply fell silent
        (dict(unanswered=range(9, 12)), True),  # silent for three exchanges, back for the switch-off
    ],
    ids=["lost", "silent", "back-for-the-switch-off"],
)
def test_supply_that_stops_answering_ends_the_run(fake, clock, workflow, fault, output_off):
    supply = fake(**fault)
    supply.output = "on"
    recorded = []
    with pytest.raises(NoAnswerError) as raised:
        WORKFLOWS[workflow](supply, on_row=recorded.append)
    failure = raised.value
    readings_before = [call for call in supply.calls[:8] if call[1] == "read_dev_status"]
    assert len([row for row in failure.rows if row["answered"]]) == len(readings_before) > 0
    assert recorded == failure.rows
    assert failure.output_off is output_off
    assert ("the output was switched off" if output_off else "the output may still be on") in str(failure)
    # The switch-off: a few tries within a bounded time, each read back.
    gave_up = max(moment for moment, _, _ in supply.calls[:11])
    tries = [moment for moment, argument in supply.sent("set_ouput_mode") if argument == "off" and moment >= gave_up]
    assert 1 <= len(tries) <= MOST_EXCHANGES // 2
    assert tries[-1] - tries[0] <= SWITCH_OFF_WITHIN_S
    assert supply.output == ("off" if output_off else "on")


@pytest.mark.parametrize("fault", ["drop_every", "late_every", "corrupt_every", "split_every", "stray_every"])
def test_sweep_rides_out_faults_that_come_and_go(open_supply, fault):
    supply = open_supply(load=8, **{fault: 4})
    outcome = sweep(supply, voltage=(0, 8, 4), current=1.0, dwell=0)
    answered = [row for row in outcome.rows if row["answered"]]
    assert [(row["asked_voltage"], row["current_real"]) for row in answered] == [(0.0, 0.0), (4.0, 0.5), (8.0, 1.0)]
    status = next(filter(None, (supply.read_dev_status() for _ in range(3))))  # the faults strike these too
    assert status["out_status"] == "off"


@pytest.mark.parametrize("workflow", WORKFLOWS)
def test_unplugged_supply_mid_run(open_supply, clock, workflow):
    supply = open_supply(load=8, vanish_after=8)  # the open, remote control, then six more
    with pytest.raises(NoAnswerError, match="the line failed") as raised:
        WORKFLOWS[workflow](supply)
    assert raised.value.rows and not raised.value.output_off
