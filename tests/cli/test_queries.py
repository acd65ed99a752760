"""ports, info and status."""

import importlib.metadata
import json
import os
import re
from pathlib import Path

import pytest
from running import status_of
from serial.tools import list_ports, list_ports_common

from qm4410.virtual_supply import simulator_program

# The names of qm4410.Status's fields, its power among them.
STATUS_FIELDS = [
    "measured_voltage",
    "measured_current",
    "power",
    "voltage",
    "current_limit",
    "max_voltage",
    "output",
    "mode",
    "over_temperature",
    "fan_speed",
    "remote",
]


@pytest.fixture
def machine_ports(monkeypatch):
    """machine_ports(*devices): the serial ports this machine has, as pyserial lists them."""

    def have(*devices: str) -> None:
        monkeypatch.setattr(
            list_ports, "comports", lambda include_links=False: [list_ports_common.ListPortInfo(d) for d in devices]
        )

    return have


@pytest.mark.parametrize("as_json", [False, True])
def test_ports_lists_every_port_pyserial_finds_in_order(cli, machine_ports, as_json):
    machine_ports("/dev/ttyS1", "/dev/ttyACM0", "/dev/ttyS0")
    result = cli("ports", *(["--json"] if as_json else []))
    assert result.returncode == 0
    if as_json:
        listed = [port["device"] for port in json.loads(result.stdout)]
    else:
        listed = [line.split()[0] for line in result.stdout.splitlines()[1:]]
    assert listed == ["/dev/ttyACM0", "/dev/ttyS0", "/dev/ttyS1"]


def test_no_ports_is_said_on_standard_error(cli, machine_ports):
    machine_ports()
    result = cli("ports")
    assert (result.returncode, result.stdout, result.stderr) == (0, "", "no serial ports found\n")


def test_probe_finds_the_supply_and_leaves_a_port_in_use_alone(cli, qm4410_sim, hold, silent_line, machine_ports):
    supply, held = qm4410_sim(serial="AB1234567"), qm4410_sim.start("--verbose")
    holder = hold(held.port)
    machine_ports(supply, held.port, silent_line.path)
    result = cli("ports", "--probe", "--json")
    assert result.returncode == 0, result.stderr
    found = {port["device"]: (port["supply"], port["probe"]) for port in json.loads(result.stdout)}
    assert found[supply] == ({"model": "4410", "SN": "AB1234567", "soft_version": 102}, "a supply answered")
    assert found[held.port][0] is None and found[held.port][1].startswith(f"{held.port} is in use by python")
    assert f"pid {holder}," in found[held.port][1]
    assert found[silent_line.path][0] is None
    assert found[silent_line.path][1].startswith(f"no answer from a supply on {silent_line.path}")
    assert " <- " not in held.log()  # not one request reached the supply behind the held port


def test_version_is_the_installed_packages(cli):
    result = cli("--version")
    assert (result.returncode, result.stdout) == (0, f"qm4410 {importlib.metadata.version('qm4410')}\n")


def test_info_reports_the_identity_the_supply_gives(cli, qm4410_sim):
    port = qm4410_sim(serial="AB1234567", version=373)
    result = cli("info", "--port", port)
    assert result.returncode == 0, result.stderr
    assert re.findall(r"^(model|serial number|software version) +(\S+)$", result.stdout, re.M) == [
        ("model", "4410"),
        ("serial number", "AB1234567"),
        ("software version", "373"),
    ]


def simulators_of(pid: int) -> set[int]:
    """The virtual supplies that process `pid` started and has not ended."""
    found = set()
    for stat in Path("/proc").glob("[0-9]*/stat"):
        try:
            name, fields = stat.read_text().split(" (", 1)[1].rsplit(") ", 1)
        except (OSError, IndexError):
            continue
        if name == "qm4410-sim" and int(fields.split()[1]) == pid:
            found.add(int(stat.parent.name))
    return found


@pytest.mark.parametrize(
    "command, expected",
    [
        (["info"], r"^model +4410$"),
        (["info", "--json"], r'^  "model": "4410",$'),
        (["status"], r"^measured_voltage +\d+\.\d{3} V$"),
        (["status", "--json"], r'^  "remote": (true|false)$'),
        # The virtual supply's options go through: 5 V into 8 ohms, not the default 10.
        (["set", "--voltage", "5", "--output", "on", "--load", "8"], r"^measured_current +0\.625 A$"),
    ],
)
def test_sim_flag_serves_one_command_and_stops_the_simulator(cli, command, expected):
    result = cli(*command, "--sim")
    assert result.returncode == 0, result.stderr
    assert re.search(expected, result.stdout, re.M), result.stdout
    assert simulators_of(os.getpid()) == set()


def test_what_the_virtual_supply_said_is_passed_on(cli, monkeypatch, tmp_path):
    talking = tmp_path / "qm4410-sim"
    talking.write_text(f"#!/bin/sh\necho 'a word from the simulator' >&2\nexec {simulator_program()} \"$@\"\n")
    talking.chmod(0o755)
    monkeypatch.setenv("QM4410_SIM", str(talking))
    result = cli("status", "--sim")
    assert result.returncode == 0, result.stderr
    assert result.stderr == "a word from the simulator\n"


def test_status_json_is_the_status_by_its_fields_names(cli, powered_port):
    result = cli("status", "--port", powered_port, "--json")
    shown = json.loads(result.stdout)
    assert list(shown) == STATUS_FIELDS
    assert (shown["voltage"], shown["current_limit"], shown["output"], shown["remote"]) == (5.0, 1.0, True, True)
    assert shown["power"] == pytest.approx(shown["measured_voltage"] * shown["measured_current"])
    assert shown["mode"] == "CV" and shown["over_temperature"] is False and isinstance(shown["fan_speed"], int)


def test_status_table_shows_the_same_record_aligned(cli, powered_port):
    record = status_of(powered_port)
    result = cli("status", "--port", powered_port)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert [line.split()[0] for line in lines] == STATUS_FIELDS
    assert len({line.index(line.split()[1]) for line in lines}) == 1  # one value column
    table = dict(line.split(None, 1) for line in lines)
    assert table["voltage"] == f"{record['voltage_set']:.3f} V"
    assert table["measured_current"] == f"{record['current_real']:.3f} A"
    assert (table["output"], table["mode"], table["over_temperature"], table["remote"]) == ("on", "CV", "no", "yes")
    assert "\x1b" not in result.stdout  # no terminal escapes into a pipe
