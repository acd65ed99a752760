"""The guard: slew limits never outrun, trips switch the output off and
latch, the watchdog, a supply that stops answering. Its timing on a supply
in Python in virtual time (its clock moves as its thread waits), the rest
on a virtual supply."""

import dataclasses
import threading
import time

import pytest
from fake_supply import FakeSupply
from fakes import FakeClock

from qm4410.supply import NoReply, OutOfRange, Status, Supply
from qm4410.supply.guard import SLEW_STEPS_PER_S, Guard, Rules, Tripped, trip_of

EPSILON = 1e-9  # of a float


class VirtualClock:
    """The guard's clock in virtual time, on the FakeClock that the fake
    supply's exchanges move too. It stands still until `go()`; after that,
    a timed wait of the guard's thread moves it on by the time waited, at
    once, and `at(seconds, action)` runs `action` on that thread within the
    wait that passes `seconds` from the start. `idle` is set while the
    thread waits with nothing to do."""

    def __init__(self, fake):
        self.fake = fake
        self.started = fake.now
        self.going = threading.Event()
        self.idle = threading.Event()
        self.actions = []

    def now(self):
        return self.fake.now

    def go(self):
        self.going.set()

    def at(self, seconds, action):
        self.actions.append((self.started + seconds, action))
        self.actions.sort(key=lambda timed: timed[0])

    def wait(self, condition, seconds):
        if not self.going.is_set():
            while not self.going.is_set():
                condition.wait(0.01)  # lets the test set things up, the lock released
            return  # for the thread to look again at what is due
        until = None if seconds is None else self.fake.now + seconds
        if self.actions and (until is None or self.actions[0][0] <= until):
            moment, action = self.actions.pop(0)
            self.fake.now = max(self.fake.now, moment)
            action()
            return
        if until is None:
            self.idle.set()
            condition.wait()
            self.idle.clear()
            return
        self.fake.now = until


@pytest.fixture
def in_virtual_time():
    """A started Guard of the given rules on a supply in Python (8 ohms),
    with its virtual clock, and the fake supply."""
    guards = []

    def make(**rules):
        clock = VirtualClock(FakeClock())
        fake = FakeSupply(clock.fake)
        guard = Guard(Supply.from_driver(fake), clock=clock, **rules).start()
        guards.append(guard)
        return guard, clock, fake

    yield make
    for guard in guards:
        guard.close()


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


def test_a_slewed_set_point_never_runs_ahead_of_its_rate(in_virtual_time):
    """Ramping up, replaced mid-way, ramping down and up again: every step
    the supply was sent is within the rate of the one before over the time
    between them, and the replaced ramp turns back from where it stood."""
    rate = 4.0
    guard, clock, fake = in_virtual_time(slew_voltage=rate)
    clock.at(0.45, lambda: guard.set_voltage(0.2, wait=False))  # replaces the ramp to 3 V at 1.6 V
    clock.at(1.2, lambda: guard.set_voltage(0.5, wait=False))
    ramp = guard.send_units("voltage", 3000, wait=False)
    clock.go()
    guard.wait_for("voltage", ramp)
    until(lambda: fake.voltage == 0.5 and not guard.ramping("voltage"))
    steps = [(clock.started, 0.0), *fake.sent("set_out_voltage")]
    peak = max(volts for _, volts in steps)
    assert peak == 1.6
    for (before, first), (after, second) in zip(steps, steps[1:]):
        assert abs(second - first) <= rate * (after - before) + EPSILON, (first, second)
    assert min(volts for _, volts in steps[[volts for _, volts in steps].index(peak) :]) == 0.2


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


def test_a_halted_ramp_stays_where_it_stands_and_its_waiter_returns(in_virtual_time):
    guard, clock, fake = in_virtual_time(slew_voltage=2.0)
    ramp = guard.send_units("voltage", 5000, wait=False)
    clock.at(0.4, lambda: guard.halt("voltage", dataclasses.replace(ramp)))  # another ramp than the one in progress
    clock.at(1.0, lambda: guard.halt("voltage", ramp))
    waiter = threading.Thread(target=guard.wait_for, args=("voltage", ramp))
    waiter.start()
    clock.go()
    waiter.join(10)
    assert not waiter.is_alive()
    assert clock.idle.wait(10)  # nothing more to step
    # 0.4 V every 0.2 s and an exchange: 2 V was due just after 1 s.
    assert fake.voltage == 1.6 and not guard.ramping("voltage")


@pytest.mark.parametrize(
    "rules, cause, trip",
    [
        ({"trip_current": 0.4}, "voltage 5", "current"),
        ({"trip_power": 2.0}, "voltage 5", "power"),
        ({"trip_current": 0.4}, "load 5", "current"),  # 0.3 A at 3 V until the load steps down
        ({"trip_overtemp": True}, "overtemp on", "over_temperature"),
    ],
)
def test_a_trip_switches_off_latches_and_clears(supply, rules, cause, trip):
    supply.voltage, supply.current_limit = 3.0, 1.0
    with Guard(supply, **rules) as guard:
        guard.output = True
        verb, _, value = cause.partition(" ")
        if verb == "voltage":
            guard.voltage = float(value)
        else:
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


def test_a_listener_that_asks_for_readings_gets_them_while_it_is_there(in_virtual_time):
    """With no rule that watches, the guard reads only for a listener that
    asks; once it is removed, the readings stop."""
    guard, clock, fake = in_virtual_time()
    heard = []

    def listener(status):
        heard.append(status)
        if len(heard) == 3:
            remove()

    remove = guard.add_listener(listener, reads=True)
    clock.go()
    assert clock.idle.wait(10)
    assert len(heard) == len(fake.sent("read_dev_status")) == 3
    assert heard[-1].voltage == fake.voltage and guard.latest == heard[-1]


def test_a_round_that_fails_unforeseen_is_logged_and_the_guard_goes_on_an_interval_later(in_virtual_time, caplog):
    """A step that raises what no exchange should (a port closed under it)
    ends neither the guard's thread nor the ramp: it is logged, and the
    step is tried again an interval later, not at once."""
    guard, clock, fake = in_virtual_time(slew_voltage=4.0)
    failed_at = []
    send = fake.set_out_voltage

    def set_out_voltage(voltage):
        if len(failed_at) < 2:
            failed_at.append(fake.clock.now)
            raise TypeError("the port was closed under the exchange")
        return send(voltage)

    fake.set_out_voltage = set_out_voltage
    guard.send_units("voltage", 1000, wait=False)
    clock.go()
    until(lambda: fake.voltage == 1.0 and not guard.ramping("voltage"))
    assert failed_at[1] - failed_at[0] >= guard.interval
    assert [record.exc_info[0] for record in caplog.records if record.name == "qm4410"] == [TypeError, TypeError]


@pytest.mark.parametrize(
    "rules, cause, trip, after",
    [
        ({"trip_cc_after": 0.3}, "voltage 10", "constant_current", 0.3),  # 1.25 A into 8 ohms, limited to 1 A
        ({"watchdog": 0.5}, "idle", "watchdog", 0.5),
    ],
)
def test_a_trip_that_takes_time_fires_as_soon_as_a_reading_can_tell(in_virtual_time, rules, cause, trip, after):
    guard, clock, fake = in_virtual_time(**rules)
    clock.go()
    guard.output = True
    if cause != "idle":
        guard.voltage = float(cause.split()[1])
    since = fake.sent("set_out_voltage" if cause != "idle" else "set_ouput_mode")[-1][0]  # the last request
    until(lambda: guard.trip is not None and guard.trip.output_off)
    assert guard.trip.name == trip
    switched_off = fake.sent("set_ouput_mode")[-1]
    assert switched_off[1] == "off"
    # Seen within a reading (constant current begins at one, lasts until another), and switched off.
    assert since + after <= switched_off[0] <= since + after + 2 * (guard.interval + fake.exchange_s)


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


def reading(**fields):
    """A status: the output on at 5 V, 0.5 A into 10 ohms, in constant voltage, unless told."""
    record = dict(
        measured_current=0.5,
        measured_voltage=5.0,
        current_limit=1.0,
        max_voltage=30.0,
        voltage=5.0,
        output=True,
        over_temperature=False,
        mode="CV",
        fan_speed=0,
        remote=True,
    )
    return Status(**(record | fields))


@pytest.mark.parametrize(
    "rules, status, cc_for, idle, fired",
    [
        ({}, reading(over_temperature=True, measured_current=9.0), 99.0, 99.0, None),  # no rule, no trip
        ({"trip_current": 0.5}, reading(), 0, 0, None),  # at the limit is not above it
        ({"trip_current": 0.499}, reading(), 0, 0, "current"),
        ({"trip_power": 2.5}, reading(), 0, 0, None),
        ({"trip_power": 2.4}, reading(), 0, 0, "power"),
        ({"trip_cc_after": 1.0}, reading(mode="CC"), 0.999, 0, None),
        ({"trip_cc_after": 1.0}, reading(mode="CC"), 1.0, 0, "constant_current"),
        ({"watchdog": 2.0}, reading(), 0, 2.0, "watchdog"),
        ({"watchdog": 2.0}, reading(output=False), 0, 9.0, None),  # the output off: nothing to watch
        ({"trip_overtemp": True}, reading(over_temperature=True), 0, 0, "over_temperature"),
        # Several at once: the supply's own alarm first, then what it measures, then what takes time.
        ({"trip_overtemp": True, "trip_current": 0.1}, reading(over_temperature=True), 0, 0, "over_temperature"),
        ({"trip_current": 0.1, "trip_power": 0.1}, reading(), 0, 0, "current"),
        ({"trip_power": 0.1, "watchdog": 1.0}, reading(), 5.0, 5.0, "power"),
        ({"trip_cc_after": 1.0, "watchdog": 1.0}, reading(mode="CC"), 5.0, 5.0, "constant_current"),
    ],
)
def test_whether_a_reading_trips_the_rules(rules, status, cc_for, idle, fired):
    found = trip_of(Rules(**rules), status, cc_for=cc_for, idle=idle)
    assert (found and found[0]) == fired
