"""The `qm4410` command in tests: its exit statuses, how a run ended, and
the command run as the installed program in a process of its own."""

import json
import os
import re
import shutil
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

import pytest

from qm4410 import Supply

# pip puts console scripts beside the interpreter; a venv used without
# activation does not have that folder on PATH.
SCRIPTS = str(Path(sys.executable).parent)
SEARCH_PATH = SCRIPTS + os.pathsep + os.environ.get("PATH", "")

USAGE, PORT_MISSING, PERMISSION_DENIED, PORT_BUSY, NO_ANSWER, WRONG_MODEL = 2, 3, 4, 5, 6, 7
SETTING_FAILED, CANNOT_OPEN, SIMULATOR_FAILED, LINE_LOST, MISSING_DEPENDENCY, FILE_ERROR = 8, 9, 10, 11, 12, 13
NOT_A_PORT, NO_VIRTUAL_SUPPLY, SUPPLY_WARNS, CANNOT_CONNECT, HOST_UNKNOWN = 14, 15, 16, 17, 18
TRIPPED, LOG_EXISTS = 21, 22


@dataclass
class Result:
    """How a run of the command ended, as subprocess.run tells it."""

    returncode: int
    stdout: str
    stderr: str


def assert_fails(result, status: int, *advice: str) -> None:
    """The command ended with `status` and one line of advice matching each
    pattern of `advice`, and no traceback."""
    assert result.returncode == status, (result.stdout, result.stderr)
    assert "Traceback" not in result.stderr
    for text in advice:
        assert re.search(text, result.stderr, re.M), result.stderr


def status_of(port: str) -> dict:
    """The supply's status record, read through the core."""
    with Supply(port) as supply:
        return supply.status().record()


# The command as its own process.


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
