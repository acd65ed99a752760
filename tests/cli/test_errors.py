"""Every way the supply can be out of reach ends in advice and an exit status."""

import os
import re
import select
import shutil
import socket
import sys
from pathlib import Path

import pytest
import serial

from conftest import SEARCH_PATH, environment, run_cli, run_emulated

USAGE, PORT_MISSING, PERMISSION_DENIED, PORT_BUSY, NO_ANSWER, WRONG_MODEL = 2, 3, 4, 5, 6, 7
SETTING_FAILED, CANNOT_OPEN, SIMULATOR_FAILED, LINE_LOST, FILE_ERROR, NOT_A_PORT = 8, 9, 10, 11, 13, 14
CANNOT_CONNECT, HOST_UNKNOWN = 17, 18
COMMANDS = [["info"], ["status"], ["set", "--output", "on"], ["monitor", "--duration", "1"]]


class SilentLine:
    """A pseudo-terminal whose far end nobody answers, but which tells what
    was sent to it."""

    def __init__(self) -> None:
        self.master, slave = os.openpty()
        self.path = os.ttyname(slave)
        os.close(slave)

    def received(self) -> bytes:
        data = b""
        while select.select([self.master], [], [], 0)[0]:
            try:
                chunk = os.read(self.master, 1024)
            except OSError:  # EIO: nobody has the far end open, nothing waits
                break
            if not chunk:
                break
            data += chunk
        return data


@pytest.fixture
def silent_line():
    line = SilentLine()
    yield line
    os.close(line.master)


@pytest.fixture
def silent_port(silent_line):
    return silent_line.path


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


def test_a_busy_device_behind_a_url_is_told_without_looking_for_its_holder(sim_port):
    with serial.Serial(sim_port):
        result = run_cli("status", "--port", f"spy://{sim_port}")
    assert_fails(result, PORT_BUSY, f"^qm4410: error: the device behind spy://{sim_port} is in use")


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


def closed_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as listening:
        return listening.getsockname()[1]


@pytest.mark.parametrize(
    "url, status, advice",
    [
        ("rfc2217://127.0.0.1:{closed}", CANNOT_CONNECT,
         r"nothing accepts connections at 127\.0\.0\.1:\d+ \(connection refused\); check that the server"),
        ("rfc2217://no-such-host.invalid:4001", HOST_UNKNOWN,
         r"the host of rfc2217://no-such-host\.invalid:4001 is not known \(\[Errno -?\d+\] .*\); check its name"),
        ("rfc2217://127.0.0.1", CANNOT_OPEN, r"could not open rfc2217://127\.0\.0\.1: .*rfc2217://HOST:PORT"),
    ],
    ids=["refused", "unknown host", "no port number"],
)
@pytest.mark.parametrize("given", ["--port", "QM4410_PORT"])
def test_a_url_that_cannot_be_opened_says_what_to_do(url, status, advice, given):
    url = url.format(closed=closed_port())
    if given == "--port":
        result = run_cli("status", "--port", url)
    else:
        result = run_cli("status", env={**environment(), "QM4410_PORT": url})
    assert_fails(result, status, "^qm4410: error: " + advice)
    assert result.stdout == ""


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


def test_a_port_that_will_not_open_is_told_with_the_drivers_reason(sim_port):
    result = run_emulated("status", "--port", sim_port, busy=[sim_port])  # free, yet it refuses to open
    assert_fails(result, CANNOT_OPEN, re.escape(f"could not open {sim_port}: Cannot open serial portcould not open port"),
                 "Access is denied")
    assert result.stdout == ""


@pytest.mark.parametrize("kind", ["device", "file", "folder"])
def test_a_path_that_is_no_serial_port_is_named_so(tmp_path, kind):
    path = {"device": "/dev/null", "file": str(tmp_path / "notes.txt"), "folder": str(tmp_path)}[kind]
    (tmp_path / "notes.txt").write_text("not a port\n")
    result = run_cli("status", "--port", path)
    assert_fails(result, NOT_A_PORT, f"^qm4410: error: {path} is .*not a serial port")
    assert "in use" not in result.stderr


@pytest.mark.parametrize(
    "script, said",
    [
        ("echo 'qm4410-sim: cannot open a pseudo-terminal' >&2; exit 3",
         ["ended with status 3 before telling its port; it said:", "  qm4410-sim: cannot open a pseudo-terminal"]),
        ("kill -9 $$", ["was killed by SIGKILL before telling its port"]),
    ],
)
def test_a_simulator_that_ends_at_once_is_reported_as_such(tmp_path, script, said):
    (tmp_path / "qm4410-sim").write_text(f"#!/bin/sh\n{script}\n")
    (tmp_path / "qm4410-sim").chmod(0o755)
    result = run_cli("status", "--sim", env=environment(PATH=f"{tmp_path}{os.pathsep}{SEARCH_PATH}"))
    assert_fails(result, SIMULATOR_FAILED, *map(re.escape, said))
    assert "within" not in result.stderr


@pytest.mark.parametrize(
    "port, existing, options, status",
    [
        ("/dev/ttyNOSUCHPORT9", "timestamp,old\n1,2\n", ["--csv"], PORT_MISSING),
        ("silent", "timestamp,old\n1,2\n", ["--csv"], NO_ANSWER),
        ("silent", '{"old": 1}\n', ["--jsonl"], NO_ANSWER),
        # Appending a CSV file of other columns would mix two tables.
        ("sim", "timestamp,old\n1,2\n", ["--append", "--csv"], FILE_ERROR),
    ],
)
def test_a_run_that_ends_before_its_first_sample_leaves_the_log_alone(sim_port, silent_port, tmp_path, port, existing,
                                                                    options, status):
    log = tmp_path / "keep.log"
    log.write_text(existing)
    port = {"silent": silent_port, "sim": sim_port}.get(port, port)
    result = run_cli("monitor", "--port", port, "--duration", "1", *options, str(log))
    assert_fails(result, status)
    assert log.read_text() == existing


@pytest.mark.parametrize(
    "options, status, named",
    [
        (["status", "--port", ""], USAGE, "argument --port/-p: the port name is empty"),
        (["monitor", "--interval", "0"], USAGE, "argument --interval"),
        (["monitor", "--duration", "inf"], USAGE, "argument --duration"),
        (["monitor", "--plot", "{tmp}/run.jpg"], USAGE, "argument --plot: .*run.jpg: the format comes from"),
        (["monitor", "--plot", "{tmp}/run.png", "--plot-size", "100000x100000"], USAGE, "argument --plot-size"),
        (["monitor", "--plot", "{tmp}/run.png", "--plot-size", "10x10"], USAGE, "argument --plot-size"),
        (["monitor", "--append"], USAGE, "--append needs --csv FILE or --jsonl FILE"),
        (["status", "--load", "4"], USAGE, "--load is an option of the virtual supply: add --sim"),
        (["status", "--sim", "--drop-every", "0"], USAGE, "argument --drop-every"),
        (["status", "--sim", "--load", "-1"], USAGE, "argument --load"),
        (["set", "--sim", "--voltage", "5", "--line-speed", "4800x"], USAGE, "argument --line-speed"),
        (["serve", "--rfc2217", "localhost:70000"], USAGE, "argument --rfc2217: localhost:70000 is not"),
        (["serve", "--scpi", ":5025"], USAGE, "argument --scpi"),
        (["serve", "--allow", "10.0.0.0/33"], USAGE, "argument --allow"),
        (["serve", "--bind", " "], USAGE, "argument --bind: the address is empty"),
        (["serve", "--limit-voltage", "-1"], USAGE, "argument --limit-voltage"),
        # A file the run could not write at its end is refused before it starts.
        (["monitor", "--plot", "{tmp}/no/run.png"], FILE_ERROR, "cannot write .*/no/run.png: there is no folder"),
        (["monitor", "--csv", "{tmp}/no/run.csv"], FILE_ERROR, "cannot write .*/no/run.csv: there is no folder"),
        (["monitor", "--jsonl", "{tmp}"], FILE_ERROR, "cannot write .*: it is a folder"),
    ],
)
def test_bad_values_are_refused_before_anything_is_sent_or_written(silent_line, tmp_path, options, status, named):
    options = [option.format(tmp=tmp_path) for option in options]
    where = [] if "--sim" in options or "--port" in options else ["--port", silent_line.path]
    result = run_cli(*options, *where)
    assert_fails(result, status, named)
    assert ("usage: qm4410 " in result.stderr) == (status == USAGE)
    assert result.stdout == "" and silent_line.received() == b""
    assert list(tmp_path.iterdir()) == []
