"""Set-points that survive: the state file written whole with its backups,
a damaged one passed over for the newest good backup; and qm4410 serve
giving a supply its set-points back when it comes back from a power cycle,
from being unplugged, or under a restarted server, the output switched on
again only when that was asked for."""

import json
import logging
import re
import time

import pytest
from serving import Server, scpi_client

import qm4410
from qm4410.server.state_file import Saved, StateFile

WITHIN_S = 30


def until(condition, within=WITHIN_S):
    deadline = time.monotonic() + within
    while not (found := condition()):
        assert time.monotonic() < deadline, "not within the time allowed"
        time.sleep(0.05)
    return found


def kept(volts: int) -> Saved:
    return Saved(voltage=volts, current=500, max_voltage=12000, output=True, supply=("4410", "000000001"))


@pytest.mark.parametrize("damage", ["cut short", "changed"])
def test_a_state_file_keeps_three_backups_and_a_damaged_one_falls_back_to_the_newest_good(tmp_path, caplog, damage):
    file = StateFile(tmp_path / "psu.json")
    for volts in (1000, 2000, 3000, 4000, 5000):
        file.write(kept(volts))
    assert sorted(path.name for path in tmp_path.iterdir()) == ["psu.json", "psu.json.1", "psu.json.2", "psu.json.3"]
    assert [StateFile(path).read().voltage for path in (file.path, *map(file.backup, (1, 2, 3)))] == [
        5000,
        4000,
        3000,
        2000,
    ]
    text = file.path.read_text()
    file.path.write_text(text[: len(text) // 2] if damage == "cut short" else text.replace("5000", "6000"))
    with caplog.at_level(logging.WARNING, logger="qm4410.serve"):
        assert file.read() == kept(4000)
    assert f"the saved state is taken from {file.backup(1)}: {file.path}: " in caplog.text


def saved_state(path):
    try:
        return json.loads(path.read_text())["state"]
    except (OSError, ValueError):
        return None


@pytest.mark.parametrize(
    "way, restore_output, output",
    [
        ("power-cycled", "off", "0"),
        ("power-cycled", "on", "1"),
        ("unplugged", "off", "1"),
        ("restarted", "off", "0"),
        ("lowered", "off", "1"),
    ],
)
def test_the_set_points_come_back_with_the_supply(qm4410_sim, visa, tmp_path, way, restore_output, output):
    """A client sets the supply up, its output on. Power-cycled, the supply
    comes back at its factory settings, and gets the saved ones back (its
    output on again only with --restore-output on); unplugged, it keeps its
    own, which are left alone; power-cycled while the server is stopped, it
    gets them back from the file once the server is started again; and so
    does one whose maximum voltage was lowered below the saved voltage
    meanwhile, which bounds neither the saved maximum nor, once that is
    back, the voltage."""
    link, control, state = tmp_path / "ttyQM", tmp_path / "control", tmp_path / "state.json"
    supply = qm4410_sim.start("--link", str(link), "--control", str(control), "--load", "inf")
    options = ["--port", link, "--reconnect", "--state", state, "--restore-output", restore_output]
    server = Server([*options, "--slew-voltage", "5"], tmp_path / "serve.log")
    client = scpi_client(visa, server)
    try:
        client.write("VOLT:PROT 12;CURR 0.5;VOLT 5;OUTP ON")
        # Of a ramp, the target is kept, as soon as it is under way; not its steps.
        assert until(lambda: (saved_state(state) or {}).get("voltage")) == 5000
        until(lambda: client.query("VOLT?") == "5.000")
        until(lambda: (saved_state(state) or {}).get("output"))
        restarting = way in ("restarted", "lowered")
        if restarting:
            client.close()
            server.stop()
            log = server.log()
        if way == "lowered":  # as at its front panel
            with qm4410.Supply(str(link)) as direct:
                direct.max_voltage = 3.0
        else:
            supply.control("power off" if way != "unplugged" else "unplug")
            time.sleep(0.5)
            supply.control("power on" if way != "unplugged" else "plug")
        if restarting:
            server = Server([*options, "--slew-voltage", "50"], tmp_path / "serve.log")
            client = scpi_client(visa, server)
        until(lambda: client.query("VOLT?;CURR?;VOLT:PROT?") == "5.000;0.500;12.000")
        until(lambda: client.query("OUTP?") == output)
        assert client.query("MEAS:VOLT?") == ("5.000" if output == "1" else "0.000")
    finally:
        client.close()
        server.stop()
    log = log + server.log() if restarting else server.log()
    restored = re.search(r"its set-points are not the saved ones .*: restoring them through the guard", log)
    assert bool(restored) is (way != "unplugged"), log
    assert ("the output was on, and is left off (--restore-output on switches it on again)" in log) is (
        output == "0"
    ), log
    assert "Traceback" not in log
