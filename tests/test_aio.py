"""qm4410.aio: calls from many tasks in order, one at a time, on a thread of
the supply's own while the event loop runs on; what a cancelled call does;
the core's answers and refusals through awaits."""

import asyncio
import functools
import threading

import pytest

from qm4410 import Guard, NoReply, OutOfRange, PortGone, RefusalKind, Refused, Rules, Supply, SupplyError
from qm4410.aio import AsyncQM4410

GATE_TIMEOUT_S = 10.0


def asynchronous(test):
    @functools.wraps(test)
    def run(*args, **kwargs):
        return asyncio.run(test(*args, **kwargs))

    return run


class GatedDriver:
    """A driver that answers every command, records what was sent and how
    many exchanges were ever on its line at once; with `gated`, each
    exchange waits at a gate until the test lets it through."""

    port = "/dev/ttyGATED"

    def __init__(self, gated=False):
        self.gated = gated
        self.sent = []
        self.on_line = threading.Semaphore(0)  # released as each exchange starts
        self.gate = threading.Semaphore(0)
        self.now = self.most = 0
        self.voltage = 0.0
        self._lock = threading.Lock()

    def set_out_voltage(self, voltage):
        self._exchange("set_out_voltage", voltage)
        self.voltage = voltage
        return True

    def set_out_current(self, current):
        return self._exchange("set_out_current", current)

    def set_ouput_mode(self, mode):
        return self._exchange("set_ouput_mode", mode)

    def read_dev_status(self):
        self._exchange("read_dev_status", None)
        return {
            "current_real": 0.0,
            "voltage_real": 0.0,
            "current_set": 1.0,
            "voltage_max_set": 30.0,
            "voltage_set": self.voltage,
            "out_status": "off",
            "beyond_temp": False,
            "out_mode": "XX",
            "fan_speed": 0,
            "work_mode": "remote",
        }

    def show_device_version(self):
        return {"model": "4410", "SN": "000000001", "soft_version": 102}

    async def started(self):
        """Wait, without holding up the loop, until an exchange is on the line."""
        assert await asyncio.to_thread(self.on_line.acquire, timeout=GATE_TIMEOUT_S), "no exchange started"

    def _exchange(self, name, argument):
        with self._lock:
            self.sent.append((name, argument))
            self.now += 1
            self.most = max(self.most, self.now)
        self.on_line.release()
        # Only the loop lets it through: if the loop waited on this
        # exchange, the gate would never open.
        passed = not self.gated or self.gate.acquire(timeout=GATE_TIMEOUT_S)
        with self._lock:
            self.now -= 1
        assert passed, "the gate never opened: the event loop was held up"
        return True


def gated_supply(driver, **options):
    return AsyncQM4410.from_supply(Supply.from_driver(driver), **options)


@asynchronous
async def test_calls_from_many_tasks_go_in_order_one_at_a_time_while_the_loop_runs():
    driver = GatedDriver(gated=True)
    async with gated_supply(driver) as supply:
        tasks = [asyncio.create_task(supply.set_voltage(volts)) for volts in (1.0, 2.0, 3.0)]
        tasks.append(asyncio.create_task(supply.status()))
        for _ in tasks:
            await driver.started()
            driver.gate.release()
        *_, status = await asyncio.gather(*tasks)
    assert driver.sent == [
        ("set_out_voltage", 1.0),
        ("set_out_voltage", 2.0),
        ("set_out_voltage", 3.0),
        ("read_dev_status", None),
    ]
    assert (driver.most, status.voltage) == (1, 3.0)


@asynchronous
async def test_a_cancelled_call_is_never_sent_if_waiting_and_completes_if_started():
    driver = GatedDriver(gated=True)
    async with gated_supply(driver) as supply:
        started = asyncio.create_task(supply.set_voltage(1.0))
        waiting = asyncio.create_task(supply.set_voltage(2.0))
        await driver.started()
        started.cancel()
        waiting.cancel()
        await asyncio.sleep(0.05)
        assert waiting.cancelled() and not started.done()  # it waits for its exchange to end
        driver.gate.release()
        with pytest.raises(asyncio.CancelledError):
            await started
        driver.gated = False
        assert (await supply.status()).voltage == 1.0
    assert driver.sent == [("set_out_voltage", 1.0), ("read_dev_status", None)]


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda supply: supply.set_voltage(-1), OutOfRange, "the voltage -1 V is outside the range the guard allows"),
        (lambda supply: supply.set_current_limit("1"), TypeError, "the current limit must be a number, not str"),
        (lambda supply: supply.set_voltage(12.001), OutOfRange, "outside the range the guard allows, 0 to 12.000 V"),
        (lambda supply: supply.set_max_voltage(13), OutOfRange, "the maximum voltage 13 V is outside the range"),
        (lambda supply: supply.ramp("voltage", 13, rate=1), OutOfRange, "outside the range the guard allows"),
        (lambda supply: supply.sweep(voltage=(0, 13, 1), current=0.5, dwell=0), OutOfRange, "0 to 12.000 V"),
        (lambda supply: supply.sweep(voltage=(0, 5, 1), current=2, dwell=0), OutOfRange, "0 to 1.000 A"),
    ],
)
@asynchronous
async def test_a_bad_value_is_refused_at_once_with_nothing_sent(call, error, text):
    driver = GatedDriver()
    async with gated_supply(driver, guard=Rules(limit_voltage=12, limit_current=1)) as supply:
        with pytest.raises(error, match=text):
            await call(supply)
    assert driver.sent == []


@asynchronous
async def test_the_core_s_operations_awaited_on_a_virtual_supply():
    async with AsyncQM4410.virtual(load=8) as supply:
        assert supply.identity.model == "4410"
        await supply.set_remote(True)
        await supply.set_max_voltage(12)
        await supply.set_voltage(5.0)
        with pytest.warns(DeprecationWarning, match="use set_current_limit"):
            await supply.set_current(0.5)  # the former name, for one release
        await supply.set_output(True)
        readings = []
        async for status in supply.watch(0.02):
            readings.append(status)
            if len(readings) == 3:
                break
        # 5 V into 8 ohms would draw 0.625 A: the 0.5 A limit holds it at 4 V.
        assert {(s.measured_voltage, s.measured_current, s.mode, s.max_voltage, s.remote) for s in readings} == {
            (4.0, 0.5, "CC", 12.0, True)
        }
        await supply.switch_off()
        assert (await supply.status()).output is False
    with pytest.raises(SupplyError, match="is not open"):
        await supply.status()


@asynchronous
async def test_a_refused_opening_leaves_it_closed():
    supply = AsyncQM4410("/dev/ttyQM4410-NONE")
    with pytest.raises(Refused) as refused:
        async with supply:
            pass
    assert refused.value.kind == RefusalKind.PORT_MISSING
    with pytest.raises(SupplyError, match="is not open"):
        await supply.status()


@asynchronous
async def test_closing_closes_what_opening_opened_and_a_guard_of_its_own():
    with Supply.from_driver(GatedDriver()) as callers:
        async with AsyncQM4410.from_supply(callers, guard=Rules(slew_voltage=10.0)) as supply:
            await supply.set_voltage(1.0)
        assert not callers.closed and callers.voltage == 1.0
        with pytest.raises(SupplyError, match="the guard is not started"):
            supply.guard.set_voltage(2.0)
        # A guard of the caller's that opening started is stopped again.
        callers_guard = Guard(callers, slew_voltage=10.0)
        async with AsyncQM4410.from_supply(callers, guard=callers_guard):
            assert callers_guard.running
        assert not callers_guard.running and not callers.closed


@asynchronous
async def test_a_cancelled_slewed_set_point_stays_where_it_stands(qm4410_sim):
    async with AsyncQM4410(qm4410_sim(load=10), guard=Rules(slew_voltage=2.0)) as supply:
        moving = asyncio.create_task(supply.set_voltage(5.0))
        # Read while it ramps: the ramp does not hold the supply's turn.
        while (await supply.status()).voltage < 0.8:
            assert not moving.done()
        moving.cancel()
        with pytest.raises(asyncio.CancelledError):
            await moving
        held = (await supply.status()).voltage
        await asyncio.sleep(0.5)  # two and a half steps' time at 2 V/s
        assert 0.8 <= held < 5.0
        assert (await supply.status()).voltage == held


@asynchronous
async def test_a_cancelled_workflow_stops_between_exchanges_and_hands_rows_to_the_loop(qm4410_sim):
    rows, threads = [], set()

    def on_row(row):
        rows.append(row)
        threads.add(threading.get_ident())

    async with AsyncQM4410(qm4410_sim(load=10)) as supply:
        ramping = asyncio.create_task(
            supply.ramp("voltage", 5.0, rate=2.0, current=1.0, output=True, off_on_exit=True, on_row=on_row)
        )
        while len(rows) < 3:
            await asyncio.sleep(0.02)
        ramping.cancel()
        with pytest.raises(asyncio.CancelledError):
            await ramping
        status = await supply.status()
    assert threads == {threading.get_ident()}
    assert status.output is False  # off_on_exit, however it ended
    assert 0 < status.voltage < 5.0 and status.voltage == rows[-1]["voltage_set"]


@pytest.mark.parametrize("guard", [None, Rules(slew_voltage=1.0)], ids=["plain", "slewed"])
@asynchronous
async def test_a_supply_that_stops_answering_raises_the_core_s_error(qm4410_sim, guard):
    async with AsyncQM4410(qm4410_sim(vanish_after=4), guard=guard) as supply:
        with pytest.raises((NoReply, PortGone)) as error:
            for volts in (1.0, 2.0, 3.0, 4.0):
                await supply.set_voltage(volts)
                await supply.status()
    told = "stopped answering during the voltage ramp" if guard else "lost the line to the supply"
    assert told in str(error.value)


@asynchronous
async def test_a_sweep_under_a_guard_ends_on_its_trip_as_the_blocking_one_does():
    async with AsyncQM4410.virtual(load=8, guard=Rules(trip_current=0.3)) as supply:
        await supply.set_remote(True)
        outcome = await supply.sweep(voltage=(0.0, 6.0, 1.0), current=1.0, dwell=0.2)
        status = await supply.status()
    # 3 V into 8 ohms draws 0.375 A: nothing is stepped past it.
    assert outcome.stopped_by == "trip"
    assert [row["voltage_set"] for row in outcome.rows][-1] <= 3.0
    assert status.output is False


async def ramp_under_way(supply, units):
    """Wait, without holding up the loop, until the guard's ramp to `units` is under way."""
    loop, under_way = asyncio.get_running_loop(), asyncio.Event()

    def heard(quantity, target):
        if target == units:
            loop.call_soon_threadsafe(under_way.set)

    remove = supply.guard.add_target_listener(heard)
    try:
        await asyncio.wait_for(under_way.wait(), GATE_TIMEOUT_S)
    finally:
        remove()


@pytest.mark.parametrize("call", ["sweep", "soft start"])
@asynchronous
async def test_a_cancelled_call_stops_a_slow_guard_s_ramp_where_it_stands(call):
    """At 0.5 V/s the ramp to 4 V takes 8 s: cancelled on the way, the call
    returns with the set-point short of it, not once it has arrived."""
    with Supply.virtual(load=8) as callers:
        callers.remote, callers.voltage, callers.current_limit = True, 4.0, 1.0
        rules = Rules(slew_voltage=0.5, soft_start=True)
        async with AsyncQM4410.from_supply(callers, guard=rules) as supply:
            if call == "sweep":
                started = supply.sweep(voltage=(0.0, 4.0, 4.0), current=1.0, dwell=0.0, leave_on=True)
            else:
                started = supply.set_output(True)
            task = asyncio.create_task(started)
            await ramp_under_way(supply, 4000)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            status = await supply.status()
    assert status.output is True and status.voltage < 4.0
