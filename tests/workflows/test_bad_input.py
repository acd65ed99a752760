"""Every workflow refuses bad input before it sends anything."""

import re

import pytest

from qm4410.workflows import parse_profile, ramp, run_profile, sweep

PROFILE = parse_profile("duration,voltage,current,output\n1,5,1,on\n", "csv")


def sweeping(**changes):
    return lambda driver: sweep(driver, **{"voltage": (0, 12, 1), "current": 1.0, "dwell": 0.1, **changes})


def ramping(quantity="voltage", to=5.0, **changes):
    return lambda driver: ramp(driver, quantity, to, **{"rate": 1.0, **changes})


def running(profile=PROFILE, **changes):
    return lambda driver: run_profile(driver, profile, **changes)


@pytest.mark.parametrize(
    "call, error, words",
    [
        (sweeping(current=(0, 1, 0.1)), ValueError, "exactly one of voltage and current"),
        (sweeping(voltage=5.0), ValueError, "exactly one of voltage and current"),
        (sweeping(voltage=(0, 12, -1)), ValueError, "leads away from 12"),
        (sweeping(voltage=(12, 0, 1)), ValueError, "leads away from 0"),
        (sweeping(voltage=(0, 12, 0)), ValueError, "finer than the supply's"),
        (sweeping(voltage=(0, 100, 0.005)), ValueError, "20001 steps, more than 10000"),
        (sweeping(voltage=(0, 12)), ValueError, "a start, a stop and a step"),
        (sweeping(voltage=(-1, 12, 1)), ValueError, "outside what the supply can be sent, 0 to 4294967.295 V"),
        (sweeping(voltage=(0, 5e6, 1e5)), ValueError, "outside what the supply can be sent"),
        (sweeping(current=65.536), ValueError, "outside the supply's range, 0 to 65.535 A"),
        (sweeping(voltage=(0, float("nan"), 1)), ValueError, "finite"),
        (sweeping(current="1"), TypeError, "must be a number, not str"),
        (sweeping(dwell=-0.1), ValueError, "the dwell must not be negative"),
        (sweeping(stop_current=0), ValueError, "the stop current must be above 0"),
        (sweeping(stop_power=float("inf")), ValueError, "finite"),
        (ramping(rate=0), ValueError, "the rate must be above 0"),
        (ramping(rate=-1), ValueError, "the rate must be above 0"),
        (ramping(to=-0.5), ValueError, "outside what the supply can be sent"),
        (ramping("power"), ValueError, "'voltage' or 'current', not 'power'"),
        (ramping(voltage=3.0), ValueError, "give only the current besides"),
        (ramping("current", 1.0, voltage=5e9), ValueError, "outside what the supply can be sent"),
        (ramping(most_steps_per_s=0), ValueError, "above 0"),
        (ramping(output="on"), TypeError, "True (on), False (off) or None (as it is), not 'on'"),
        (running(repeat=0), ValueError, "whole number from 1"),
        (running(repeat=True), ValueError, "whole number from 1"),
        (running(interval=0), ValueError, "the interval must be above 0"),
        (running(interval=-1), ValueError, "the interval must be above 0"),
        (
            running(parse_profile("duration,voltage,current,output\n1e308,5,1,on\n1e308,,,\n", "csv")),
            ValueError,
            "longer than can be counted",
        ),
    ],
)
def test_refused_before_anything_is_sent(fake, call, error, words):
    supply = fake()
    with pytest.raises(error, match=re.escape(words)):
        call(supply)
    assert supply.calls == []
