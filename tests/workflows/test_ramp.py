"""Ramps on the Python supply and its fake clock: the steps they make, when
they make them, and where an interrupted ramp leaves the supply."""

import itertools

import pytest

from qm4410.workflows import ramp


@pytest.mark.parametrize(
    "start, target, rate, most_steps_per_s, exchange_s, unanswered, step",
    [
        (1.0, 1.02, 0.002, 4.0, 0.01, (), 0.001),  # the supply's resolution is the coarser
        (1.0, 6.0, 2.0, 4.0, 0.01, (), 0.5),  # the bounded step rate is
        (6.0, 1.1, 2.0, 4.0, 0.01, (), 0.5),  # down, with a last step shorter than the others
        (0.0, 3.0, 2.0, 20.0, 0.2, (), 0.1),  # a line too slow for the steps: the ramp slows down instead
        # A reading without an answer holds the ramp up: it goes on from
        # there at its rate, without catching up in a burst of steps.
        (0.0, 3.0, 2.0, 20.0, 0.01, (5,), 0.1),
    ],
)
def test_ramp_never_outruns_its_rate(fake, start, target, rate, most_steps_per_s, exchange_s, unanswered, step):
    supply = fake(exchange_s=exchange_s, unanswered=unanswered)
    supply.voltage, supply.output = start, "on"
    outcome = ramp(supply, "voltage", target, rate=rate, most_steps_per_s=most_steps_per_s)
    (read_at, _), *_ = supply.sent("read_dev_status")
    began = read_at + exchange_s  # the ramp starts from the first reading
    sends = supply.sent("set_out_voltage")
    values = [round(value, 3) for _, value in sends]
    assert values[-1] == target and supply.voltage == target
    for (before_at, before), (at, value) in itertools.pairwise([(began, start), *zip([t for t, _ in sends], values)]):
        assert 0 < abs(value - before) <= step + 1e-9
        assert at - before_at >= abs(value - before) / rate - 1e-9  # never steeper than the rate
        assert at >= began + abs(value - start) / rate - 1e-9  # never ahead of the straight line
    if exchange_s * 2 < step / rate and not unanswered:  # a line fast enough: on the line exactly, no drift
        assert [t for t, _ in sends] == pytest.approx([began + abs(v - start) / rate for v in values], abs=1e-6)
    assert [row["step"] for row in outcome.rows] == list(range(len(sends) + 1))  # a row a step, answered or not
    assert [row["answered"] for row in outcome.rows].count(False) == len(unanswered)
    assert supply.output == "on"


@pytest.mark.parametrize("off_on_exit", [False, True])
@pytest.mark.parametrize("ending", ["stop", "interrupt"])
def test_ramp_ended_early_stays_where_it_is(fake, ending, off_on_exit):
    supply = fake()
    supply.output = "on"

    def on_row(row):
        if ending == "interrupt" and row["step"] == 3:
            raise KeyboardInterrupt

    def stop():
        return ending == "stop" and len(supply.sent("set_out_voltage")) == 3

    def run():
        return ramp(supply, "voltage", 10.0, rate=1.0, off_on_exit=off_on_exit, on_row=on_row, stop=stop)

    if ending == "interrupt":
        with pytest.raises(KeyboardInterrupt):
            run()
    else:
        assert run().stopped_by == "stop"
    assert supply.voltage == 0.75 and len(supply.sent("set_out_voltage")) == 3
    assert supply.output == ("off" if off_on_exit else "on")
