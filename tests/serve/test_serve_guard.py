"""The server's guard holds for every client of every endpoint: no SCPI or
RFC 2217 client moves a set-point faster than the slew rate, sampled by
another client, and a ramp goes on after its client has left; each trip
switches the output off, latches, refuses switch-on from either endpoint
and clears; the watchdog; a supply that vanishes in the middle of a ramp."""

import contextlib
import io
import re
import time

import pytest
from serving import RFC2217_CLIENT_WARNINGS, driver_client, run_command, scpi_client, until, vanishing

from qm4410.supply.guard import SLEW_STEPS_PER_S

pytestmark = RFC2217_CLIENT_WARNINGS

RATE = 4.0  # V/s: the slewed server's


def sample(scpi, samples, done, query="VOLT?"):
    """Read the voltage set-point (or what `query` asks) until
    `done(volts)`, each reading kept as (asked at, answered at, volts)."""

    def reading():
        asked = time.monotonic()
        volts = float(scpi.query(query))
        samples.append((asked, time.monotonic(), volts))
        return done(volts)

    until(reading, pause=0)


def outrun(samples, rate):
    """The readings that moved further from the one before than the rate
    allows between the first's request and the second's answer, plus the
    one step a ramp moves by."""
    step = rate / SLEW_STEPS_PER_S
    return [
        (first, second)
        for first, second in zip(samples, samples[1:])
        if abs(second[2] - first[2]) > rate * (second[1] - first[0]) + step + 1e-9
    ]


def quiet(call, *args):
    """A driver's command, without what it prints."""
    with contextlib.redirect_stdout(io.StringIO()):
        return call(*args)


def set_and_leave(endpoint, server, visa, volts, own_rate=None):
    """Set the voltage from a new client of `endpoint`, which leaves at once."""
    if endpoint == "scpi":
        client = scpi_client(visa, server)
        client.write(f"VOLT:SLEW {own_rate};VOLT {volts}" if own_rate else f"VOLT {volts}")
        client.close()
    else:
        with driver_client(server) as driver:
            assert quiet(driver.set_out_voltage, volts)  # answered once the ramp is under way


@pytest.fixture(scope="module")
def slewed(start_server):
    return start_server("--sim", "--load", "inf", "--slew-voltage", RATE)


@pytest.mark.parametrize("endpoint, own_rate", [("scpi", None), ("scpi", 2.0), ("rfc2217", None)])
def test_no_client_outruns_the_slew_rate_and_a_ramp_outlives_its_client(slewed, visa, endpoint, own_rate):
    sampler = scpi_client(visa, slewed)
    sample(sampler, [], lambda volts: volts == 0.0)  # where the last test's ramp ended
    up, down = [], []
    set_and_leave(endpoint, slewed, visa, 3, own_rate)
    sample(sampler, up, lambda volts: volts == 3.0)  # its client gone, on to its target
    set_and_leave(endpoint, slewed, visa, 0)
    sample(sampler, down, lambda volts: volts <= 1.5)
    sampler.write("VOLT 2.5")  # from where the ramp down stands
    sample(sampler, down, lambda volts: volts == 2.5)
    sampler.write("VOLT 0")
    sampler.close()
    assert not outrun(up, own_rate or RATE)
    assert not outrun(down, RATE)
    assert len({volts for *_, volts in up}) > 3  # it was sampled on its way


@pytest.mark.parametrize("endpoint", ["scpi", "rfc2217"])
def test_raising_the_maximum_voltage_lets_the_output_rise_no_faster_than_the_slew_rate(slewed, visa, endpoint):
    """The output is held at the maximum voltage, below its set-point: a
    raise of the maximum, from any client, lets it rise at the rate."""
    sampler = scpi_client(visa, slewed)
    try:
        sampler.write("VOLT 7;VOLT:PROT 1;OUTP ON")  # the maximum lowered below the voltage, never the other way
        sample(sampler, [], lambda volts: volts == 7.0)
        output = []
        sample(sampler, output, lambda volts: volts == 1.0, "MEAS:VOLT?")
        if endpoint == "scpi":
            raising = scpi_client(visa, slewed)
            raising.write("VOLT:PROT 8")
            assert raising.query("SYST:ERR?") == '0,"No error"'
            raising.close()
        else:
            with driver_client(slewed) as driver:
                assert quiet(driver.set_voltage_max, 8)
        sample(sampler, output, lambda volts: volts == 7.0, "MEAS:VOLT?")
        assert float(sampler.query("VOLT:PROT?")) == 8.0
        sampler.write("OUTP OFF;VOLT 0;VOLT:PROT 30")
        sample(sampler, [], lambda volts: volts == 0.0)
    finally:
        sampler.close()
    assert not outrun(output, RATE), output


@pytest.mark.parametrize("volts", [3, 0])
def test_the_set_command_through_a_slewing_server_waits_for_the_set_point_to_arrive(slewed, volts):
    done = run_command("set", "--port", slewed.rfc2217, "--mode", "remote", "--voltage", str(volts))
    assert done.returncode == 0, done.stderr
    assert re.search(rf"^voltage\s+{volts}\.000 V$", done.stdout, re.MULTILINE), done.stdout


@pytest.mark.parametrize(
    "lines, answer",
    [
        ("VOLT:SLEW?", "4"),
        ("VOLT:SLEW 1.5;VOLT:SLEW?", "1.5"),
        ("SOUR:VOLT:SLEW MIN;SOUR:VOLT:SLEW?", "0.001"),
        ("VOLT:SLEW 1;VOLT:SLEW DEF;VOLT:SLEW?", "4"),
        ("VOLT:SLEW? MIN;VOLT:SLEW? MAX", "0.001;4"),
        ("CURR:SLEW?;CURR:SLEW? MAX", "9.9E+37;9.9E+37"),  # none on the server: any may be set
        ("CURR:SLEW 50;CURR:SLEW?", "50"),
        ("OUTP:PROT:TRIP?;OUTP:PROT:TRIP:REAS?", '0;""'),
        ("VOLT:SLEW 4.5", '''-222,"Data out of range;the voltage slew rate 4.5 V/s is above the guard's 4 V/s"'''),
        ("VOLT:SLEW 0", '''-222,"Data out of range;the voltage slew rate must be above 0, not 0.0"'''),
        ("VOLT:SLEW 1 V", '-224,"Illegal parameter value;1 V: the number takes no unit"'),
        ("CURR:SLEW", '-109,"Missing parameter"'),
    ],
)
def test_slew_rates_and_trips_through_scpi(slewed, visa, lines, answer):
    client = scpi_client(visa, slewed)
    try:
        if answer.startswith("-"):
            client.write(lines)
            assert client.query("SYST:ERR?") == answer
        else:
            assert client.query(lines) == answer
        assert client.query("SYST:ERR?") == '0,"No error"'
    finally:
        client.close()


# Each row: the voltage, current limit and load it starts from, which trip
# none of the rules below, and the change that trips one.
TRIPS = {
    "current": ("1", "1", "10", "load 1.5"),  # 0.67 A, 0.67 W
    "power": ("5", "1", "100", "load 10"),  # 0.5 A, not above 0.5; 2.5 W
    "constant_current": ("1", "0.2", "10", "short"),  # regulating 0.2 A into a short
    "over_temperature": ("1", "1", "10", "overtemp on"),
    "watchdog": ("1", "1", "10", None),  # nothing from anyone for 1 s
}
WATCHDOG_S = 1.0


@pytest.fixture(scope="module")
def tripping(start_server, tmp_path_factory):
    control = tmp_path_factory.mktemp("guard") / "control"
    server = start_server(
        "--sim",
        "--control",
        control,
        "--trip-current",
        "0.5",
        "--trip-power",
        "2",
        "--trip-cc-after",
        "0.3",
        "--trip-overtemp",
        "--watchdog",
        WATCHDOG_S,
    )

    def change(line):
        with open(control, "w") as pipe:  # the simulator holds it open: never waits
            pipe.write(line + "\n")

    server.change = change
    return server


@pytest.mark.parametrize("trip", TRIPS)
def test_each_trip_switches_off_latches_refuses_switch_on_from_every_client_and_clears(tripping, visa, trip):
    volts, amperes, ohms, cause = TRIPS[trip]
    scpi = scpi_client(visa, tripping)
    tripping.change(f"load {ohms}")
    scpi.write(f"SYST:REM;VOLT {volts};CURR {amperes};OUTP:PROT:CLE;OUTP ON")
    assert scpi.query("OUTP?;OUTP:PROT:TRIP?;SYST:ERR?") == '1;0;0,"No error"'
    if cause:
        tripping.change(cause)
    # A request of any client's starts the watchdog again: ask less often than it allows.
    until(lambda: scpi.query("OUTP:PROT:TRIP?") == "1", pause=WATCHDOG_S * 1.5 if trip == "watchdog" else 0.02)
    reason = until(lambda: re.fullmatch(f'"{trip}: .+; the output is off"', scpi.query("OUTP:PROT:TRIP:REAS?")))
    assert reason, "the trip's switch-off was never confirmed"
    # Questionable while latched: the trip (512), and the heat that tripped it (16).
    assert scpi.query("OUTP?;STAT:QUES:COND?") == ("0;528" if trip == "over_temperature" else "0;512")
    scpi.write("OUTP ON")
    assert scpi.query("SYST:ERR?").startswith(f'-200,"Execution error;the guard tripped on {trip} (')
    with driver_client(tripping) as driver:
        assert quiet(driver.set_ouput_mode, "on") is False  # not sent: no reply
        assert driver.read_dev_status()["out_status"] == "off"
    tripping.change(f"load {ohms}")  # the cause gone
    tripping.change("overtemp off")
    scpi.write("OUTP:PROT:CLE;OUTP ON")
    # Questionable no more: regulating the voltage (1) alone.
    assert scpi.query("OUTP:PROT:TRIP?;OUTP?;STAT:QUES:COND?;SYST:ERR?") == '0;1;1;0,"No error"'
    scpi.write("OUTP OFF")
    assert "the guard tripped on " + trip in tripping.log()
    scpi.close()


def test_a_supply_that_vanishes_mid_ramp_trips_the_guard_and_the_failure_is_told(
    start_server, visa, qm4410_sim, tmp_path
):
    # The ramp's steps are the only requests besides the client's: the
    # supply vanishes at the seventh or so, in the middle of the ramp.
    server = start_server("--port", vanishing(qm4410_sim, tmp_path, 10), "--slew-voltage", 1, "--reconnect")
    scpi = scpi_client(visa, server)
    scpi.write("SYST:REM;OUTP ON;VOLT 5")
    assert scpi.query("SYST:ERR?") == '0,"No error"'
    until(lambda: scpi.query("OUTP:PROT:TRIP?") == "1")
    reason = scpi.query("OUTP:PROT:TRIP:REAS?")
    assert re.fullmatch(
        r'"no_reply: the supply answered none of the guard\'s last \d+ steps of the voltage ramp; '
        r'the output may still be on: .+"',
        reason,
    ), reason
    assert scpi.query("VOLT?") == "9.91E+37"
    assert scpi.query("SYST:ERR?").startswith('-240,"Hardware error;')
    scpi.close()
    log = server.log()
    assert "the guard tripped on no_reply" in log and "after the no_reply trip: the output may still be on" in log


def test_the_guard_of_a_served_supply_from_start_to_end(start_server, visa):
    """serve --sim --load 10 --slew-voltage 2 --trip-current 0.4 --watchdog 2:
    a SCPI client's VOLT 5 rises at 2 V/s until the current passes 0.4 A,
    the output goes off and stays off until cleared, an RFC 2217 client
    obeys the same slew, and a silent client's output goes off after 2 s."""
    server = start_server("--sim", "--load", "10", "--slew-voltage", "2", "--trip-current", "0.4", "--watchdog", "2")
    scpi = scpi_client(visa, server)
    scpi.write("SYST:REM;CURR 1;OUTP ON;VOLT 5")
    up = []
    sample(scpi, up, lambda volts: scpi.query("OUTP:PROT:TRIP?") == "1")
    assert not outrun(up, 2.0)
    assert 4.0 < float(scpi.query("VOLT?")) < 5.0  # beyond 4 V (0.4 A into 10 ohms), short of the target
    assert re.fullmatch(
        r'"current: 0\.4\d\d A measured, above 0\.4 A; the output is (off|being switched off)"',
        scpi.query("OUTP:PROT:TRIP:REAS?"),
    )
    until(lambda: scpi.query("OUTP?") == "0")
    scpi.write("OUTP ON")
    assert scpi.query("SYST:ERR?").startswith('-200,"Execution error;the guard tripped on current')
    with driver_client(server) as driver:
        assert quiet(driver.set_ouput_mode, "on") is False
        scpi.write("OUTP:PROT:CLE")
        assert quiet(driver.set_out_voltage, 1)
        down = []
        sample(scpi, down, lambda volts: volts == 1.0)
        assert not outrun(down, 2.0)
    scpi.write("OUTP ON")
    assert scpi.query("OUTP?;OUTP:PROT:TRIP?") == "1;0"
    time.sleep(2.5)  # silent
    assert until(lambda: scpi.query("OUTP?") == "0", pause=2.5)
    idle = re.fullmatch(
        r'"watchdog: no request for (\d+\.\d) s with the output on, 2 s allowed; the output is off"',
        scpi.query("OUTP:PROT:TRIP:REAS?"),
    )
    assert idle and float(idle.group(1)) >= 2.0
    scpi.close()
