"""The guard on a virtual supply: slew limits never outrun, trips switch the
output off and latch, the watchdog, a supply that stops answering."""

import dataclasses
import threading
import time

import pytest

from qm4410.supply import NoReply, OutOfRange, Supply
from qm4410.supply.guard import SLEW_STEPS_PER_S, Guard, Tripped


@pytest.fixture
def supply(qm4410_sim, tmp_path):
    """A virtual supply, 10 ohms, under remote control, and its control pipe."""
    virtual = qm4410_sim.start("--load", "10", "--control", str(tmp_path / "control"))
    with Supply(virtual.port) as opened:
        opened.remote = True
        opened.control = virtual.control  # type: ignore[attr-defined]
        yield opened


def until(condition, within=10.0):
    deadline = time.monotonic() + within
    while not condition():
        assert time.monotonic() < deadline, "not within the time allowed"
        time.sleep(0.02)


def test_a_slewed_set_point_never_runs_ahead_of_its_rate(supply):
    """Sampled by another reader while it ramps up, is replaced mid-way, and
    ramps down: between any two readings it moved no more than the rate
    allows over the time between them, plus the one step it moves by."""
    rate = 4.0
    step = rate / SLEW_STEPS_PER_S
    samples = []  # (asked at, answered at, set-point)

    def sample_until(done):
        while not done():
            asked = time.monotonic()
            volts = supply.status().voltage
            samples.append((asked, time.monotonic(), volts))

    with Guard(supply, slew_voltage=rate) as guard:
        guard.set_voltage(3.0, wait=False)
        sample_until(lambda: samples and samples[-1][2] >= 1.0)
        guard.set_voltage(0.2, wait=False)  # from where it stands, not from 3 V
        sample_until(lambda: samples[-1][2] <= 0.2)
        guard.set_voltage(0.5)  # waits until it has arrived
        assert supply.voltage == 0.5
    assert max(volts for _, _, volts in samples) < 1.0 + step + 1e-9
    for (asked, _, first), (_, answered, second) in zip(samples, samples[1:]):
        assert abs(second - first) <= rate * (answered - asked) + step + 1e-9, (first, second)


def test_a_raised_maximum_voltage_lets_the_output_rise_at_the_rate_and_the_ramp_tells_its_target(supply):
    """The output held at the maximum voltage, below its set-point: raising
    the maximum (as an EPICS put to MAX_VOLT_SP does) holds the set-point
    there and ramps it back, and a listener hears the ramp's target as soon
    as it is under way."""
    rate = 2.0
    targets = []
    with Guard(supply, slew_voltage=rate) as guard:
        guard.add_target_listener(lambda quantity, units: targets.append((quantity, units)))
        supply.max_voltage, supply.voltage, supply.output = 1.0, 5.0, True
        asked = time.monotonic()
        guard.max_voltage = 6.0
        status = supply.status()
        assert status.max_voltage == 6.0
        assert status.voltage <= 1.0 + rate * (time.monotonic() - asked) + rate / SLEW_STEPS_PER_S + 1e-9
        until(lambda: supply.voltage == 5.0)
        supply.output = False
    assert targets == [("voltage", 5000)]


def test_a_halted_ramp_stays_where_it_stands_and_its_waiter_returns(supply):
    with Guard(supply, slew_voltage=2.0) as guard:
        ramp = guard.send_units("voltage", 5000, wait=False)
        waiter = threading.Thread(target=guard.wait_for, args=("voltage", ramp))
        waiter.start()
        until(lambda: supply.voltage >= 0.4)
        guard.halt("voltage", dataclasses.replace(ramp))  # another ramp than the one in progress
        until(lambda: supply.voltage >= 1.6)  # goes on
        guard.halt("voltage", ramp)
        waiter.join(10)
        assert not waiter.is_alive()
        held = supply.voltage
        time.sleep(0.5)  # two and a half steps' time at 2 V/s
        assert 1.6 <= held < 5.0 and supply.voltage == held


@pytest.mark.parametrize(
    "rules, cause, trip",
    [
        ({"trip_current": 0.4}, "voltage 5", "current"),
        ({"trip_power": 2.0}, "voltage 5", "power"),
        ({"trip_current": 0.4}, "load 5", "current"),  # 0.3 A at 3 V until the load steps down
        ({"trip_cc_after": 0.3}, "current 0.1", "constant_current"),
        ({"trip_overtemp": True}, "overtemp on", "over_temperature"),
        ({"watchdog": 0.5}, "idle", "watchdog"),
    ],
)
def test_a_trip_switches_off_latches_and_clears(supply, rules, cause, trip):
    supply.voltage, supply.current_limit = 3.0, 1.0
    with Guard(supply, **rules) as guard:
        guard.output = True
        verb, _, value = cause.partition(" ")
        if verb == "voltage":
            guard.voltage = float(value)
        elif verb == "current":
            guard.current_limit = float(value)
        elif verb != "idle":
            supply.control(cause)
        until(lambda: guard.trip is not None and guard.trip.output_off)
        assert guard.trip.name == trip
        assert supply.output is False
        with pytest.raises(Tripped, match=f"tripped on {trip}"):
            guard.output = True
        assert supply.output is False  # refused: nothing sent
        supply.control("load 10")
        supply.control("overtemp off")
        guard.voltage, guard.current_limit = 1.0, 1.0
        guard.clear()
        guard.output = True
        assert supply.output is True


def test_a_supply_that_stops_answering_mid_ramp_is_told(qm4410_sim):
    with Supply(qm4410_sim(vanish_after=8)) as supply:
        supply.remote = True
        with Guard(supply, slew_voltage=1.0) as guard:
            with pytest.raises(NoReply, match="stopped answering during the voltage ramp"):
                guard.set_voltage(5.0)
            until(lambda: guard.trip is not None)
            assert (guard.trip.name, guard.trip.output_off) == ("no_reply", False)


def test_a_listener_that_asks_for_readings_gets_them_while_it_is_there(supply):
    """With no rule that watches, the guard reads only for a listener that
    asks; once it is removed, the readings stop."""
    heard = []
    with Guard(supply, interval=0.02) as guard:
        remove = guard.add_listener(heard.append, reads=True)
        until(lambda: len(heard) >= 3)
        assert heard[-1] is not None and heard[-1].voltage == supply.voltage
        remove()
        count = len(heard)
        time.sleep(0.3)  # fifteen intervals
        assert len(heard) <= count + 1  # one under way as it was removed


@pytest.mark.parametrize(
    "rules, error",
    [
        ({"slew_voltage": 0}, OutOfRange),
        ({"trip_current": float("nan")}, OutOfRange),
        ({"watchdog": -1}, OutOfRange),
        ({"limit_current": 70}, OutOfRange),
        ({"trip_power": "2"}, TypeError),
        ({"trip_overtemp": 1}, TypeError),
        ({"soft_start": True}, ValueError),  # no slew rate to ramp at
    ],
)
def test_rules_that_are_no_finite_positive_number_are_refused(supply, rules, error):
    with pytest.raises(error):
        Guard(supply, **rules)


def test_limits_and_slew_rates_hold_against_every_request(supply):
    with Guard(supply, limit_voltage=12, slew_current=1.0) as guard:
        with pytest.raises(
            OutOfRange, match="the voltage 12.001 V is outside the range the guard allows, 0 to 12.000 V"
        ):
            guard.voltage = 12.001
        with pytest.raises(OutOfRange):
            guard.max_voltage = 13
        with pytest.raises(OutOfRange, match="factory settings"):
            guard.restore_factory()
        with pytest.raises(OutOfRange, match="above the guard's 1 A/s"):
            guard.set_slew_rate("current", 2.0)
        guard.set_slew_rate("current", 0.5)
        guard.set_slew_rate("voltage", 100.0)  # none set: any may be
        assert (guard.slew_rate("current"), guard.slew_rate("voltage")) == (0.5, 100.0)
