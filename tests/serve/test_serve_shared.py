"""One supply, many clients: the qm4410 commands, the driver and PyVISA at
once through one server, and clients that misbehave costing the others
nothing."""

import json
import os
import re
import signal
import socket
import subprocess

import pytest
import serial
from fakes import READ_STATUS, request
from serving import (
    COMMAND,
    RFC2217_CLIENT_WARNINGS,
    Server,
    command_environment,
    driver_client,
    run_command,
    scpi_client,
    until,
)

from qm4410.supply import served

pytestmark = RFC2217_CLIENT_WARNINGS


@pytest.fixture(scope="module")
def server(start_server):
    """A server whose every test runs beside clients that connected and went
    quiet: one halfway through a SCPI line, one halfway through a frame, one
    that said nothing at all."""
    server = start_server("--sim", "-v")
    rfc2217_port = int(server.rfc2217.rsplit(":", 1)[1])
    quiet = [socket.create_connection(("127.0.0.1", port)) for port in (server.scpi_port, rfc2217_port, rfc2217_port)]
    quiet[0].sendall(b"MEAS:VOLT")
    quiet[1].sendall(request(READ_STATUS)[:13])
    yield server
    for connection in quiet:
        connection.close()


def test_monitor_and_set_share_the_supply_each_with_its_own_replies(server, tmp_path):
    samples = tmp_path / "samples.jsonl"
    monitor = subprocess.Popen(
        [*COMMAND, "monitor", "--port", server.rfc2217, "--interval", "0.05", "--jsonl", str(samples)],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
        env=command_environment(),
    )
    try:
        until(lambda: samples.exists() and samples.read_text().count("\n") >= 2)
        result = run_command(
            "set",
            "-v",
            "--port",
            server.rfc2217,
            "--mode",
            "remote",
            "--voltage",
            "5",
            "--current",
            "1",
            "--output",
            "on",
        )
        assert result.returncode == 0, result.stderr
        # The replies to set's set-points, in its trace, carry its own command words.
        replies = re.findall(
            r"^qm4410: driver: .*: (voltage|current limit) \d+ m[VA]: answered .*: aa [0-9a-f]{2} ([0-9a-f]{2}) ",
            result.stderr,
            re.M,
        )
        assert replies == [("voltage", "23"), ("current limit", "24")], result.stderr
        until(lambda: '"output": true' in samples.read_text())
    finally:
        monitor.send_signal(signal.SIGINT)
        _, said = monitor.communicate(timeout=20)
    assert monitor.returncode == 130, said
    records = [json.loads(line) for line in samples.read_text().splitlines()]
    # Each sample is a status reply (another command's reply would decode as
    # zeros), before the settings, during them or after.
    assert all(record["answered"] and record["max_voltage"] == 30.0 for record in records), records
    assert records[-1]["measured_voltage"] == 5.0 and records[-1]["measured_current"] == 0.5


def test_the_driver_runs_every_command_through_the_server_beside_a_scpi_client(server, visa):
    scpi = scpi_client(visa, server)
    with driver_client(server) as driver:
        assert driver.show_device_version() == {"model": "4410", "SN": "000000001", "soft_version": 102}
        assert driver.set_work_mode("remote") and driver.set_voltage_max(12.0) and driver.set_out_voltage(5.0)
        assert driver.set_out_current(0.3) and driver.set_ouput_mode("on")
        status = driver.read_dev_status()
        assert (status["voltage_real"], status["current_real"], status["out_mode"]) == (3.0, 0.3, "CC")
        assert scpi.query("MEAS:VOLT?;MEAS:CURR?;STAT:QUES?") == "3.000;0.300;2"
        assert scpi.query("*RST;*OPC?") == "1"  # done before the driver asks
        assert driver.read_dev_status()["voltage_max_set"] == 30.0
        assert driver.restore_factory() and driver.set_work_mode("local")
    assert scpi.query("SYST:ERR?") == '0,"No error"'
    scpi.close()


def test_line_noise_and_half_frames_reach_nobody_else(server):
    status = request(READ_STATUS)
    with serial.serial_for_url(server.rfc2217, timeout=0.3) as noisy, driver_client(server) as driver:
        noisy.write(b"\x00noise\xaa\xaa" + status[:13])
        for _ in range(5):
            assert driver.read_dev_status()["voltage_max_set"] == 30.0
        assert noisy.read(26) == b""  # noise is answered as the supply answers it: not at all
        noisy.write(status[13:])  # its frame, whole at last
        assert noisy.read(26)[2] == READ_STATUS


@pytest.mark.parametrize("endpoint", ["rfc2217", "scpi"])
def test_a_client_that_leaves_mid_command_costs_the_others_nothing(server, visa, endpoint):
    port = server.scpi_port if endpoint == "scpi" else int(server.rfc2217.rsplit(":", 1)[1])
    command = b"MEAS:VOLT?\n" if endpoint == "scpi" else request(READ_STATUS)
    scpi = scpi_client(visa, server)
    for _ in range(3):
        with socket.create_connection(("127.0.0.1", port)) as leaving:
            leaving.sendall(command)
        assert scpi.query("VOLT:PROT?") == "30.000"
    scpi.close()


def test_a_command_refused_the_port_that_serve_holds_is_told_its_url(qm4410_sim, tmp_path, monkeypatch):
    records = tmp_path / "records"
    monkeypatch.setenv(served.FOLDER_VARIABLE, str(records))
    port = qm4410_sim()
    server = Server(["--port", port], tmp_path / "serve.log")
    try:
        refused = run_command("status", "--port", port)
        assert refused.returncode == 5, refused.stderr  # PORT_BUSY
        assert re.search(
            rf"^qm4410: error: {port} is in use by \S+ \(pid {server.proc.pid}, user \S+\), which serves it with "
            rf"qm4410 serve at {server.rfc2217}: use that URL instead of the port$",
            refused.stderr,
        ), refused.stderr
        assert run_command("status", "--port", server.rfc2217).returncode == 0  # the URL told
    finally:
        assert server.stop() == 128 + signal.SIGTERM, server.log()
    assert list(records.iterdir()) == []  # the record went with the server


def test_a_record_is_believed_for_the_process_that_holds_the_device_alone(tmp_path, monkeypatch):
    records = tmp_path / "records"
    monkeypatch.setenv(served.FOLDER_VARIABLE, str(records))
    device, url = str(tmp_path / "ttyUSB0"), "rfc2217://127.0.0.1:4410"
    with served.recorded(device, ["TCPIP::127.0.0.1::5025::SOCKET", url]):
        assert served.url_of(device, [os.getpid()]) == url
        assert served.url_of(device, [os.getpid() + 1]) is None  # a server killed, its number taken since
        records.chmod(0o777)
        assert served.url_of(device, [os.getpid()]) is None  # a folder anyone may write to
        records.chmod(0o700)
    assert served.url_of(device, [os.getpid()]) is None and list(records.iterdir()) == []


def test_two_doors_share_one_reading_within_the_bound(start_server, visa):
    """A SCPI client's measurement and an RFC 2217 client's status request,
    within the server's bound of each other and with no setting between,
    take one status reading of the supply at most: the RFC 2217 client
    gets that reading's own reply frame."""
    server = start_server("--sim", "-v", "--max-age", "60", "--state", "none")
    scpi = scpi_client(visa, server)
    try:
        with driver_client(server) as driver:
            read_before = server.log().count(": status: answered")
            volts = float(scpi.query("MEAS:VOLT?"))
            status = driver.read_dev_status()
            read = server.log().count(": status: answered") - read_before
    finally:
        scpi.close()
    assert status is not None and status["voltage_real"] == volts
    assert read <= 1, server.log()
