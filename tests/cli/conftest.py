"""Run the installed `qm4410` command in a subprocess against the virtual supply."""

import json
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

# pip puts console scripts beside the interpreter; a venv used without
# activation does not have that folder on PATH.
SCRIPTS = str(Path(sys.executable).parent)
SEARCH_PATH = SCRIPTS + os.pathsep + os.environ.get("PATH", "")


def program(name: str) -> str:
    found = shutil.which(name, path=SEARCH_PATH)
    if found is None:
        pytest.fail(f"{name} is not installed (pip install . puts it beside {sys.executable})")
    return found


def environment(**changes: str) -> dict:
    env = {**os.environ, "PATH": SEARCH_PATH, **changes}
    env.pop("QM4410_PORT", None)
    return env


def run_cli(*args: str, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    return subprocess.run(
        [program("qm4410"), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env or environment(),
    )


def start_cli(*args: str) -> subprocess.Popen:
    return subprocess.Popen(
        [program("qm4410"), *args],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        env=environment(),
    )


def status_of(port: str) -> dict:
    result = run_cli("status", "--port", port, "--json")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture
def start_sim():
    """Start virtual supplies with the given options; each yields its port."""
    processes = []

    def start(*options: str) -> str:
        process = subprocess.Popen(
            [program("qm4410-sim"), *options], stdout=subprocess.PIPE, text=True
        )
        processes.append(process)
        port = process.stdout.readline().strip()
        assert port.startswith("/"), f"qm4410-sim {' '.join(options)} gave no port"
        return port

    yield start
    for process in processes:
        process.send_signal(signal.SIGTERM)
        process.wait(10)
        process.stdout.close()


@pytest.fixture
def sim_port(start_sim) -> str:
    return start_sim()


@pytest.fixture
def powered_port(sim_port) -> str:
    """A virtual supply under remote control with its output on at 5 V, 1 A."""
    result = run_cli(
        "set", "--port", sim_port, "--mode", "remote", "--voltage", "5", "--current", "1", "--output", "on"
    )
    assert result.returncode == 0, result.stderr
    return sim_port


# The command run in a fresh interpreter with the machine's serial ports
# replaced by the given devices, and optionally with what Windows lacks
# taken away (no SIGHUP, no grp, platform.system() "Windows", no
# qm4410-sim) and its COM ports in use refusing to open.
EMULATION = """
import json, platform, shutil, signal, sys
import serial
from serial.tools import list_ports, list_ports_common
settings = json.loads(sys.argv[1])
if settings["windows"]:
    del signal.SIGHUP
    sys.modules["grp"] = None
    platform.system = lambda: "Windows"
    which = shutil.which
    shutil.which = lambda name, *args, **kwargs: None if name == "qm4410-sim" else which(name, *args, **kwargs)
list_ports.comports = lambda include_links=False: [list_ports_common.ListPortInfo(d) for d in settings["ports"]]
Serial = serial.Serial
def refusing(port=None, *args, **kwargs):
    if port in settings["busy"]:
        raise serial.SerialException(f"could not open port {port!r}: PermissionError(13, 'Access is denied.')")
    return Serial(port, *args, **kwargs)
serial.Serial = refusing
from qm4410.cli import main
sys.exit(main(sys.argv[2:]))
"""


def run_emulated(*args: str, ports=(), windows=False, busy=()) -> subprocess.CompletedProcess:
    settings = json.dumps({"ports": list(ports), "windows": windows, "busy": list(busy)})
    return subprocess.run(
        [sys.executable, "-c", EMULATION, settings, *args],
        capture_output=True,
        text=True,
        timeout=60,
        env=environment(),
    )
