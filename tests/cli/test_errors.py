"""Every way the supply can be out of reach ends in advice and an exit status."""

import csv
import os
import re
import socket
import subprocess

import pytest
import serial
from running import (
    CANNOT_CONNECT,
    CANNOT_OPEN,
    FILE_ERROR,
    HOST_UNKNOWN,
    LINE_LOST,
    LOG_EXISTS,
    NO_ANSWER,
    NOT_A_PORT,
    PERMISSION_DENIED,
    PORT_BUSY,
    PORT_MISSING,
    SETTING_FAILED,
    SIMULATOR_FAILED,
    USAGE,
    WRONG_MODEL,
    assert_fails,
    environment,
    program,
    run_cli,
)

COMMANDS = [["info"], ["status"], ["set", "--output", "on"], ["monitor", "--duration", "1"]]


@pytest.mark.parametrize("command", COMMANDS)
def test_missing_port_lists_the_ports_there_are(cli, command):
    result = cli(*command, "--port", "/dev/ttyNOSUCHPORT9")
    assert_fails(result, PORT_MISSING, "no port /dev/ttyNOSUCHPORT9", "serial port")


@pytest.mark.parametrize("command", COMMANDS)
def test_busy_port_names_the_process_holding_it(cli, qm4410_port, hold, command):
    holder = hold(qm4410_port)
    result = cli(*command, "--port", qm4410_port)
    assert_fails(result, PORT_BUSY, rf"in use by \S+ \(pid {holder}, ")
    assert result.stdout == ""  # the driver's own line is not the command's output


def test_a_busy_device_behind_a_url_is_told_without_looking_for_its_holder(cli, qm4410_port, hold):
    hold(qm4410_port)
    result = cli("status", "--port", f"spy://{qm4410_port}")
    assert_fails(result, PORT_BUSY, f"^qm4410: error: the device behind spy://{qm4410_port} is in use")


@pytest.mark.parametrize("command", COMMANDS)
def test_silent_port_is_no_answer(cli, silent_line, command):
    assert_fails(cli(*command, "--port", silent_line.path), NO_ANSWER, "no answer from a supply")


@pytest.mark.parametrize("command", COMMANDS)
def test_other_model_is_refused(cli, qm4410_sim, command):
    port = qm4410_sim(model="9999")
    assert_fails(cli(*command, "--port", port), WRONG_MODEL, "reports model '9999'", "4410 and 4411")


# Root opens any device whatever its mode: the command runs as a root that
# cannot override a file's permissions, which then hold for it as for anyone.
AS_ANYONE = ["setpriv", "--bounding-set=-dac_override,-dac_read_search"] if os.geteuid() == 0 else []


@pytest.mark.parametrize("command", COMMANDS)
def test_forbidden_port_says_how_to_get_access(silent_line, command):
    os.chmod(silent_line.path, 0)
    result = subprocess.run(
        [*AS_ANYONE, program("qm4410"), *command, "--port", silent_line.path],
        capture_output=True,
        text=True,
        timeout=60,
        env=environment(),
    )
    assert_fails(result, PERMISSION_DENIED, "permission denied", "usermod -aG", "udev")


@pytest.mark.parametrize(
    "sim_options, options, advice, shown",
    [
        # Requests: identity, remote, voltage (dropped), then the status read-back.
        (
            {"drop_every": 3},
            ["--mode", "remote", "--voltage", "5", "--output", "on"],
            ["--voltage 5.0 got no reply", "not sent after it: --output on"],
            "output            off",
        ),
        # The voltage's reply comes after the driver gave up, and the status
        # request after it gets no reply either: the setting is still named.
        (
            {"late_every": 2},
            ["--voltage", "5", "--output", "on"],
            ["--voltage 5.0 got no reply", "not sent after it: --output on"],
            None,
        ),
    ],
)
def test_setting_not_taken_is_named(cli, qm4410_sim, sim_options, options, advice, shown):
    result = cli("set", "--port", qm4410_sim(**sim_options), *options)
    assert_fails(result, SETTING_FAILED, *advice)
    if shown:
        assert shown in result.stdout


@pytest.mark.parametrize("off_on_exit", [False, True])
def test_supply_lost_while_monitoring_ends_cleanly(cli, qm4410_sim, tmp_path, off_on_exit):
    port = qm4410_sim(vanish_after=4)
    log = tmp_path / "samples.csv"
    result = cli("monitor", "--port", port, "--interval", "0.1", "--csv", str(log), *["--off-on-exit"] * off_on_exit)
    # The output it could not switch off is told in the same line, as sweep
    # and ramp tell it, and the lost line keeps its status.
    assert_fails(
        result,
        LINE_LOST,
        "^qm4410: error: lost the line to the supply: [^;]*"
        + ("; the output may still be on: the supply did not confirm switching it off" if off_on_exit else "$"),
    )
    # Kept: the header and the samples before the loss (the reply sent just
    # before the port went away may be lost with it).
    rows = log.read_text().splitlines()
    assert rows[0].startswith("timestamp,") and 1 + 1 <= len(rows) <= 1 + 3


def closed_port() -> int:
    with socket.create_server(("127.0.0.1", 0)) as listening:
        return listening.getsockname()[1]


@pytest.mark.parametrize(
    "url, status, advice",
    [
        (
            "rfc2217://127.0.0.1:{closed}",
            CANNOT_CONNECT,
            r"nothing accepts connections at 127\.0\.0\.1:\d+ \(connection refused\); check that the server",
        ),
        (
            "rfc2217://no-such-host.invalid:4001",
            HOST_UNKNOWN,
            r"the host of rfc2217://no-such-host\.invalid:4001 is not known \(\[Errno -?\d+\] .*\); check its name",
        ),
        ("rfc2217://127.0.0.1", CANNOT_OPEN, r"could not open rfc2217://127\.0\.0\.1: .*rfc2217://HOST:PORT"),
    ],
    ids=["refused", "unknown host", "no port number"],
)
@pytest.mark.parametrize("given", ["--port", "QM4410_PORT"])
def test_a_url_that_cannot_be_opened_says_what_to_do(cli, monkeypatch, url, status, advice, given):
    url = url.format(closed=closed_port())
    if given == "--port":
        result = cli("status", "--port", url)
    else:
        monkeypatch.setenv("QM4410_PORT", url)
        result = cli("status")
    assert_fails(result, status, "^qm4410: error: " + advice)
    assert result.stdout == ""


def test_missing_lsof_is_named(cli, monkeypatch, tmp_path):
    monkeypatch.setenv("PATH", str(tmp_path))  # a PATH without lsof (qm4410-sim is found beside the interpreter)
    result = cli("status", "--sim")
    assert_fails(result, CANNOT_OPEN, "lsof is not installed", "apt-get install lsof")
    assert result.stdout == ""


@pytest.mark.parametrize("option", ["--csv", "--jsonl"])
def test_full_disk_is_the_files_fault_not_the_lines(cli, qm4410_port, option):
    result = cli("monitor", "--port", qm4410_port, "--duration", "1", option, "/dev/full")
    assert_fails(result, FILE_ERROR, "cannot write /dev/full: No space left on device")
    assert "lost the line" not in result.stderr


def test_a_row_the_disk_cannot_take_whole_is_taken_back(qm4410_port, tmp_path):
    """A file size limit stands in for a disk that fills up: the write that
    reaches it is cut short, the next fails (EFBIG: Python ignores SIGXFSZ)."""
    resource = pytest.importorskip("resource")
    log, limit = tmp_path / "samples.csv", 1000
    result = subprocess.run(
        [program("qm4410"), "monitor", "--port", qm4410_port, "--interval", "0.02", "--csv", str(log)],
        capture_output=True,
        text=True,
        timeout=60,
        env=environment(),
        preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit)),
    )
    assert_fails(result, FILE_ERROR, f"^qm4410: error: cannot write {re.escape(str(log))}: File too large$")
    data = log.read_bytes()
    assert len(data) <= limit and data.endswith(b"\r\n")
    rows = list(csv.reader(data.decode().splitlines()))
    assert len(rows) > 2 and all(len(row) == len(rows[0]) for row in rows)


def test_a_port_that_will_not_open_is_told_with_the_drivers_reason(cli, monkeypatch, qm4410_port):
    def refusing(port=None, *args, **kwargs):  # free, yet it refuses to open
        raise serial.SerialException(f"could not open port {port!r}: PermissionError(13, 'Access is denied.')")

    monkeypatch.setattr(serial, "Serial", refusing)
    result = cli("status", "--port", qm4410_port)
    assert_fails(
        result,
        CANNOT_OPEN,
        re.escape(f"could not open {qm4410_port}: could not open port"),
        "Access is denied",
    )
    assert result.stdout == ""


@pytest.mark.parametrize("kind", ["device", "file", "folder"])
def test_a_path_that_is_no_serial_port_is_named_so(cli, tmp_path, kind):
    path = {"device": "/dev/null", "file": str(tmp_path / "notes.txt"), "folder": str(tmp_path)}[kind]
    (tmp_path / "notes.txt").write_text("not a port\n")
    result = cli("status", "--port", path)
    assert_fails(result, NOT_A_PORT, f"^qm4410: error: {path} is .*not a serial port")
    assert "in use" not in result.stderr


@pytest.mark.parametrize(
    "script, said",
    [
        (
            "echo 'qm4410-sim: cannot open a pseudo-terminal' >&2; exit 3",
            ["ended with status 3 before telling its port; it said:", "  qm4410-sim: cannot open a pseudo-terminal"],
        ),
        ("kill -9 $$", ["was killed by SIGKILL before telling its port"]),
    ],
)
def test_a_simulator_that_ends_at_once_is_reported_as_such(cli, monkeypatch, tmp_path, script, said):
    (tmp_path / "qm4410-sim").write_text(f"#!/bin/sh\n{script}\n")
    (tmp_path / "qm4410-sim").chmod(0o755)
    monkeypatch.delenv("QM4410_SIM", raising=False)
    monkeypatch.setenv("PATH", f"{tmp_path}{os.pathsep}{os.environ['PATH']}")
    result = cli("status", "--sim")
    assert_fails(result, SIMULATOR_FAILED, *map(re.escape, said))
    assert "within" not in result.stderr


@pytest.mark.parametrize(
    "port, existing, options, status",
    [
        ("/dev/ttyNOSUCHPORT9", "timestamp,old\n1,2\n", ["--overwrite", "--csv"], PORT_MISSING),
        ("silent", "timestamp,old\n1,2\n", ["--overwrite", "--csv"], NO_ANSWER),
        ("silent", '{"old": 1}\n', ["--overwrite", "--jsonl"], NO_ANSWER),
        # Appending a CSV file of other columns would mix two tables.
        ("sim", "timestamp,old\n1,2\n", ["--append", "--csv"], FILE_ERROR),
    ],
)
def test_a_run_that_ends_before_its_first_sample_leaves_the_log_alone(
    cli, qm4410_port, silent_line, tmp_path, port, existing, options, status
):
    log = tmp_path / "keep.log"
    log.write_text(existing)
    port = {"silent": silent_line.path, "sim": qm4410_port}.get(port, port)
    result = cli("monitor", "--port", port, "--duration", "1", *options, str(log))
    assert_fails(result, status)
    assert log.read_text() == existing


@pytest.mark.parametrize("option, existing", [("--csv", "timestamp,elapsed_s\n1,2\n"), ("--jsonl", "\n")])
@pytest.mark.parametrize(
    "command",
    [
        ["monitor", "--duration", "1"],
        ["sweep", "--voltage", "0:1:1", "--current", "1"],
        ["ramp", "--to", "1", "--rate", "1"],
        ["run", "{profile}"],
    ],
)
def test_a_log_is_never_replaced_unasked(cli, silent_line, tmp_path, command, option, existing):
    (tmp_path / "profile.csv").write_text("duration,voltage,current,output\n1,1,,on\n")
    log = tmp_path / "kept.log"
    log.write_text(existing)
    command = [str(tmp_path / "profile.csv") if word == "{profile}" else word for word in command]
    result = cli(*command, "--port", silent_line.path, option, str(log))
    assert_fails(
        result,
        LOG_EXISTS,
        f"^qm4410: error: {re.escape(str(log))} is there already and not empty: "
        "--append adds to it, --overwrite replaces it; nothing was written$",
    )
    assert log.read_text() == existing and silent_line.received() == b""


@pytest.mark.parametrize(
    "args, status, advice",
    [
        (["status", "--port", "/dev/ttyNOSUCHPORT9"], PORT_MISSING, "^qm4410: error: there is no port"),
        (["set", "--sim", "--current", "70"], USAGE, "the current limit 70.0 A is outside the supply's range"),
        (["status", "--sim", "--load", "4"], 0, None),
    ],
)
def test_the_installed_command_exits_with_the_status_of_what_ended_it(args, status, advice):
    result = run_cli(*args)
    assert_fails(result, status, *([advice] if advice else []))
    assert (result.stdout != "") == (status == 0)
