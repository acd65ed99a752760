"""set, sweep, ramp and run through a guard: slew rates kept, and a trip
that ends the command with the output off and its own status."""

import re
import time

import pytest
from running import TRIPPED, status_of

from qm4410 import Supply

PROFILE = "duration,voltage,current,output\n30,5,1,on\n"


@pytest.mark.parametrize(
    "argv, cut_short",
    [
        (["set", "--voltage", "5"], None),  # found by the reading at its end
        (["set", "--voltage", "8", "--current", "1", "--slew-voltage", "4"], "--voltage 8.0, --current 1.0"),
        (["sweep", "--voltage", "0:5:1", "--current", "1", "--dwell", "0", "--leave-on"], None),
        (["ramp", "--to", "5", "--rate", "50", "--current", "1"], None),
        (["run", "{profile}", "--leave-on"], None),  # a 30 s step, ended by the trip
    ],
)
def test_a_trip_ends_the_command_with_the_output_off(cli, qm4410_sim, tmp_path, argv, cut_short):
    port = qm4410_sim(load=10)  # above 4 V it draws more than 0.4 A
    with Supply(port) as supply:
        supply.remote = True
        supply.voltage, supply.current_limit = 1.0, 1.0
        supply.output = True
    (tmp_path / "profile.csv").write_text(PROFILE)
    argv = [str(tmp_path / "profile.csv") if word == "{profile}" else word for word in argv]
    started = time.monotonic()
    result = cli(*argv, "--port", port, "--trip-current", "0.4")
    assert result.returncode == TRIPPED, result.stderr
    told = r"the guard tripped on current \(0\.\d{3} A measured, above 0\.4 A\); output switched off"
    ending = f"; not carried out: {cut_short}" if cut_short else ""
    assert re.search(f"^qm4410: (the {argv[0]} stopped: )?{told}{ending}$", result.stderr, re.M), result.stderr
    record = status_of(port)
    assert record["out_status"] == "off"
    if cut_short:  # the slewed set-point stays where the trip found it
        assert 4.0 < record["voltage_set"] < 8.0
    assert time.monotonic() - started < 30


@pytest.mark.parametrize(
    "argv, sent",
    [
        (["set", "--voltage", "2"], ["1000", "2000"]),
        (["sweep", "--voltage", "0:2:2", "--current", "1", "--dwell", "0"], ["0", "1000", "2000"]),
    ],
)
def test_a_slew_rate_moves_the_set_point_in_steps_of_a_fifth_of_it(cli, qm4410_port, argv, sent):
    result = cli(*argv, "--port", qm4410_port, "--slew-voltage", "5", "-v")
    assert result.returncode == 0, result.stderr
    assert re.findall(r": voltage (\d+) mV: answered", result.stderr) == sent
