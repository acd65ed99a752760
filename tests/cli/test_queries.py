"""ports, info and status through the console command."""

import importlib.metadata
import json
import os
import re
from pathlib import Path

import pytest
import serial
from serial.tools import list_ports

from conftest import run_cli, run_emulated, status_of

STATUS_KEYS = [
    "current_real", "voltage_real", "current_set", "voltage_max_set", "voltage_set",
    "out_status", "beyond_temp", "out_mode", "fan_speed", "work_mode",
]


@pytest.mark.parametrize("as_json", [False, True])
def test_ports_lists_every_port_pyserial_finds(as_json):
    result = run_cli("ports", *(["--json"] if as_json else []))
    assert result.returncode == 0
    if as_json:
        listed = [port["device"] for port in json.loads(result.stdout)]
    else:
        listed = [line.split()[0] for line in result.stdout.splitlines()[1:]]
    assert listed == sorted(port.device for port in list_ports.comports())


def test_probe_finds_the_supply_and_leaves_a_port_in_use_alone(start_sim):
    supply, held = start_sim("--serial", "AB1234567"), start_sim()
    master, slave = os.openpty()
    silent = os.ttyname(slave)
    os.close(slave)
    try:
        with serial.Serial(held, timeout=0.5) as holder:
            result = run_emulated("ports", "--probe", "--json", ports=[supply, held, silent])
            assert holder.read(26) == b""  # no request reached the supply behind it
    finally:
        os.close(master)
    assert result.returncode == 0, result.stderr
    found = {port["device"]: (port["supply"], port["probe"]) for port in json.loads(result.stdout)}
    assert found[supply] == ({"model": "4410", "SN": "AB1234567", "soft_version": 102}, "a supply answered")
    assert found[held][0] is None and found[held][1].startswith(f"{held} is in use by python")
    assert found[silent][0] is None and found[silent][1].startswith(f"no answer from a supply on {silent}")


def test_version_is_the_installed_packages():
    result = run_cli("--version")
    assert (result.returncode, result.stdout) == (0, f"qm4410 {importlib.metadata.version('qm4410')}\n")


def test_info_reports_the_identity_the_supply_gives(start_sim):
    port = start_sim("--serial", "AB1234567", "--version", "373")
    result = run_cli("info", "--port", port)
    assert result.returncode == 0, result.stderr
    assert re.findall(r"^(model|serial number|software version) +(\S+)$", result.stdout, re.M) == [
        ("model", "4410"), ("serial number", "AB1234567"), ("software version", "373"),
    ]


def orphaned_simulators() -> set[int]:
    """Virtual supplies left running without the command that started them."""
    found = set()
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            pid, rest = stat.read_text().split(" (", 1)
        except OSError:
            continue
        name, fields = rest.rsplit(") ", 1)
        if name == "qm4410-sim" and fields.split()[1] == "1":
            found.add(int(pid))
    return found


@pytest.mark.parametrize(
    "command, expected",
    [
        (["info"], r"^model +4410$"),
        (["info", "--json"], r'^  "model": "4410",$'),
        (["status"], r"^voltage_real +\d+\.\d{3} V$"),
        (["status", "--json"], r'^  "work_mode": "(remote|local)"$'),
        # The virtual supply's options go through: 5 V into 8 ohms, not the default 10.
        (["set", "--voltage", "5", "--output", "on", "--load", "8"], r"^current_real +0\.625 A$"),
    ],
)
def test_sim_flag_serves_one_command_and_stops_the_simulator(command, expected):
    before = orphaned_simulators()
    result = run_cli(*command, "--sim")
    assert result.returncode == 0, result.stderr
    assert re.search(expected, result.stdout, re.M), result.stdout
    assert orphaned_simulators() - before == set()


def test_status_json_is_the_drivers_record(powered_port):
    record = status_of(powered_port)
    assert list(record) == STATUS_KEYS
    assert record["voltage_set"] == 5.0 and record["current_set"] == 1.0
    assert (record["out_status"], record["work_mode"]) == ("on", "remote")
    assert isinstance(record["beyond_temp"], bool) and isinstance(record["fan_speed"], int)


def test_status_table_shows_the_same_record_aligned(powered_port):
    record = status_of(powered_port)
    result = run_cli("status", "--port", powered_port)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split()[0] for line in lines] == STATUS_KEYS
    assert len({line.index(line.split()[1]) for line in lines}) == 1  # one value column
    table = dict(line.split(None, 1) for line in lines)
    assert table["voltage_set"] == f"{record['voltage_set']:.3f} V"
    assert table["current_real"] == f"{record['current_real']:.3f} A"
    assert table["beyond_temp"] == ("yes" if record["beyond_temp"] else "no")
    assert "\x1b" not in result.stdout  # no terminal escapes into a pipe
