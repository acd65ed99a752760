"""Every way the supply can be out of reach ends in advice and an exit status."""

import os
import re
import shutil
import sys
from pathlib import Path

import pytest
import serial

from conftest import environment, run_cli

PORT_MISSING, PERMISSION_DENIED, PORT_BUSY, NO_ANSWER, WRONG_MODEL = 3, 4, 5, 6, 7
SETTING_FAILED, CANNOT_OPEN, LINE_LOST, FILE_ERROR = 8, 9, 11, 13
COMMANDS = [["info"], ["status"], ["set", "--output", "on"], ["monitor", "--duration", "1"]]


@pytest.fixture
def silent_port():
    """A pseudo-terminal whose far end nobody answers."""
    master, slave = os.openpty()
    path = os.ttyname(slave)
    os.close(slave)
    yield path
    os.close(master)


def assert_fails(result, status: int, *advice: str) -> None:
    assert result.returncode == status, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    for text in advice:
        assert re.search(text, result.stderr), result.stderr


@pytest.mark.parametrize("command", COMMANDS)
def test_missing_port_lists_the_ports_there_are(command):
    result = run_cli(*command, "--port", "/dev/ttyNOSUCHPORT9")
    assert_fails(result, PORT_MISSING, "no port /dev/ttyNOSUCHPORT9", "serial port")


@pytest.mark.parametrize("command", COMMANDS)
def test_busy_port_names_the_process_holding_it(sim_port, command):
    with serial.Serial(sim_port):
        result = run_cli(*command, "--port", sim_port)
    assert_fails(result, PORT_BUSY, rf"in use by \S+ \(pid {os.getpid()}, ")
    assert result.stdout == ""  # the driver's own line is not the command's output


@pytest.mark.parametrize("command", COMMANDS)
def test_silent_port_is_no_answer(silent_port, command):
    assert_fails(run_cli(*command, "--port", silent_port), NO_ANSWER, "no answer from a supply")


@pytest.mark.parametrize("command", COMMANDS)
def test_other_model_is_refused(start_sim, command):
    port = start_sim("--model", "9999")
    assert_fails(run_cli(*command, "--port", port), WRONG_MODEL, "reports model '9999'", "4410 and 4411")


@pytest.mark.skipif(os.geteuid() == 0, reason="root opens any device whatever its mode, so access cannot be denied")
@pytest.mark.parametrize("command", COMMANDS)
def test_forbidden_port_says_how_to_get_access(silent_port, command):
    os.chmod(silent_port, 0)
    assert_fails(run_cli(*command, "--port", silent_port), PERMISSION_DENIED, "permission denied", "usermod -aG", "udev")


@pytest.mark.parametrize(
    "sim_options, options, advice, shown",
    [
        # Requests: identity, remote, voltage (dropped), then the status read-back.
        (["--drop-every", "3"], ["--mode", "remote", "--voltage", "5", "--output", "on"],
         ["--voltage 5.0 got no reply", "not sent after it: --output on"], "out_status       off"),
        # The voltage's reply comes after the driver gave up, and the status
        # request after it gets no reply either: the setting is still named.
        (["--late-every", "2"], ["--voltage", "5", "--output", "on"],
         ["--voltage 5.0 got no reply", "not sent after it: --output on"], None),
        # 70 A goes out whole, but the status carries 16 bits of mA.
        ([], ["--current", "70"], [r"--current 70\.0 reads back as 65\.535 A"], "current_set      65.535 A"),
    ],
)
def test_setting_not_taken_is_named(start_sim, sim_options, options, advice, shown):
    result = run_cli("set", "--port", start_sim(*sim_options), *options)
    assert_fails(result, SETTING_FAILED, *advice)
    if shown:
        assert shown in result.stdout


def test_supply_lost_while_monitoring_ends_cleanly(start_sim, tmp_path):
    port = start_sim("--vanish-after", "4")
    csv = tmp_path / "samples.csv"
    result = run_cli("monitor", "--port", port, "--interval", "0.1", "--csv", str(csv))
    assert_fails(result, LINE_LOST, "lost the line to the supply")
    # Kept: the header and the samples before the loss (the reply sent just
    # before the port went away may be lost with it).
    rows = csv.read_text().splitlines()
    assert rows[0].startswith("timestamp,") and 1 + 1 <= len(rows) <= 1 + 3


def test_missing_lsof_is_named(tmp_path):
    lone = tmp_path / "bin"  # PATH with the command and nothing else
    lone.mkdir()
    os.symlink(shutil.which("qm4410", path=str(Path(sys.executable).parent)), lone / "qm4410")
    result = run_cli("status", "--sim", env=environment(PATH=str(lone)))
    assert_fails(result, CANNOT_OPEN, "lsof is not installed", "apt-get install lsof")
    assert result.stdout == ""


@pytest.mark.parametrize("option", ["--csv", "--jsonl"])
def test_full_disk_is_the_files_fault_not_the_lines(sim_port, option):
    result = run_cli("monitor", "--port", sim_port, "--duration", "1", option, "/dev/full")
    assert_fails(result, FILE_ERROR, "cannot write /dev/full: No space left on device")
    assert "lost the line" not in result.stderr
