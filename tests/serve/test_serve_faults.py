"""The server under faults: a supply that drops and delays replies and then
goes away, with ten clients at it; signals; a supply that comes back; who
may connect; an endpoint that cannot listen."""

import contextlib
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

import pytest
import pyvisa
import serial

import qm4410
from serving import RFC2217_CLIENT_WARNINGS, Server, driver_client, run_command, scpi_client

pytestmark = RFC2217_CLIENT_WARNINGS

LINE_LOST, CANNOT_LISTEN = 11, 20
NOT_A_NUMBER = "9.91E+37"
RUN_TIMEOUT_S = 60


def test_ten_clients_of_a_faulty_supply_get_their_own_answers_or_are_told(visa, tmp_path):
    # Requests 8, 16, 24 go unanswered, 11 and 22 are answered too late, and
    # after the 30th the port goes away.
    server = Server(["--sim", "--drop-every", 8, "--late-every", 11, "--vanish-after", 30], tmp_path / "serve.log")
    first = scpi_client(visa, server)
    record = first.query("STAT:REC?")
    # Every client asks for what does not change, so any other answer is
    # the wrong one; a failure is one the client is told of.
    questions = [("*IDN?", "QM4410,4410,000000001,102"), ("STAT:REC?", record),
                 ("MEAS:CURR?", record.split(",")[0]), ("VOLT:PROT?", "30.000")]
    ends: dict[str, str] = {}
    failures = []  # (client, what it was told) for each failure

    def scpi_client_run(name, client):
        answers = 0
        try:
            while True:
                query, expected = questions[answers % len(questions)]
                answer = client.query(query)
                answers += 1
                if answer == NOT_A_NUMBER:
                    error = client.query("SYST:ERR?")
                    assert error.startswith('-240,"Hardware error;'), error
                    failures.append((name, error))
                    if "port is gone" in error:
                        ends[name] = "told the port is gone"
                        return
                else:
                    assert answer == expected, (query, answer)
        except (pyvisa.errors.VisaIOError, ConnectionError) as error:  # the server went before it could say so
            ends[name] = f"connection ended: {error}"
        finally:
            client.close()

    def rfc2217_client_run(name, driver):
        expected = None  # the first status answered; every later one must be the same
        try:
            while True:
                status = driver.read_dev_status()
                if status is None:  # unanswered, as by the supply itself
                    failures.append((name, None))
                    continue
                expected = expected or status
                assert status == expected, status
        except serial.SerialException:
            ends[name] = "connection ended"

    with contextlib.ExitStack() as stack:
        drivers = [stack.enter_context(driver_client(server)) for _ in range(2)]
        clients = [threading.Thread(target=scpi_client_run, args=(f"scpi {n}", client))
                   for n, client in enumerate([first] + [scpi_client(visa, server) for _ in range(7)])]
        clients += [threading.Thread(target=rfc2217_client_run, args=(f"rfc2217 {n}", driver))
                    for n, driver in enumerate(drivers)]
        stack.callback(server.stop)
        for client in clients:
            client.start()
        for client in clients:
            client.join(RUN_TIMEOUT_S)
        assert not any(client.is_alive() for client in clients), "a client hangs"
        assert server.proc.wait(RUN_TIMEOUT_S) == LINE_LOST
    assert len(ends) == 10, ends  # a client whose thread failed has no end
    # Unanswered requests before the end, besides the port's going.
    assert any("port is gone" not in str(told) for _, told in failures), failures
    log = server.log()
    assert "the supply's port is gone" in log and "Traceback" not in log


@pytest.fixture
def linked_sim(tmp_path):
    """Start virtual supplies behind one path, one after another."""
    link = tmp_path / "ttyQM"
    started = []

    def start(*options):
        process = qm4410_sim("--link", link, *options)
        started.append(process)
        return process

    yield link, start
    for process in started:
        process.kill()
        process.wait()


def qm4410_sim(*options):
    process = subprocess.Popen([os.environ.get("QM4410_SIM") or shutil.which("qm4410-sim"), *map(str, options)],
                               stdout=subprocess.PIPE, text=True)
    assert process.stdout.readline().startswith("/dev/")
    return process


def test_a_supply_that_comes_back_is_served_again_with_reconnect(visa, linked_sim, tmp_path):
    link, start = linked_sim
    start("--vanish-after", "2")  # the identity read, then one request
    server = Server(["--port", link, "--reconnect"], tmp_path / "serve.log")
    scpi = scpi_client(visa, server)
    try:
        assert scpi.query("VOLT:PROT?") == "30.000"
        assert scpi.query("VOLT:PROT?") == NOT_A_NUMBER  # the port goes
        assert "port is gone" in scpi.query("SYST:ERR?")
        start("--serial", "000000002")
        deadline = time.monotonic() + 10
        while scpi.query("VOLT:PROT?") == NOT_A_NUMBER:
            assert time.monotonic() < deadline, server.log()
            scpi.query("SYST:ERR?")
            time.sleep(0.1)
        assert scpi.query("*IDN?") == "QM4410,4410,000000002,102"
        with driver_client(server) as driver:
            assert driver.show_device_version()["SN"] == "000000002"
    finally:
        scpi.close()
        assert server.stop() == 128 + signal.SIGTERM
    assert "the supply is back" in server.log()


@pytest.mark.parametrize("number", [signal.SIGTERM, signal.SIGINT])
def test_a_signal_ends_it_with_the_output_switched_off(visa, linked_sim, tmp_path, number):
    link, start = linked_sim
    start()
    server = Server(["--port", link, "--off-on-exit"], tmp_path / "serve.log")
    scpi = scpi_client(visa, server)
    scpi.write("OUTP ON")
    assert scpi.query("OUTP?") == "1"
    assert server.stop(number) == 128 + number
    supply = qm4410.QM4410(str(link))
    assert supply.open()
    try:
        assert supply.read_dev_status()["out_status"] == "off"
    finally:
        supply.close()
    assert "output switched off" in server.log()


def test_only_the_allowed_networks_get_in(tmp_path):
    server = Server(["--sim", "--allow", "10.0.0.0/8", "--allow", "192.168.0.1"], tmp_path / "serve.log")
    try:
        with socket.create_connection(("127.0.0.1", server.scpi_port)) as refused:
            refused.sendall(b"*IDN?\n")
            try:
                answer = refused.recv(100)
            except ConnectionResetError:  # hung up on before it read what came
                answer = b""
            assert answer == b""
    finally:
        server.stop()
    assert re.search(r"scpi client 127\.0\.0\.1:\d+ refused: its address is not in any --allow network", server.log())


def test_an_endpoint_that_cannot_listen_ends_it_with_its_status():
    with socket.create_server(("127.0.0.1", 0)) as taken:
        port = taken.getsockname()[1]
        result = run_command("serve", "--sim", "--rfc2217", "0", "--scpi", str(port))
    assert result.returncode == CANNOT_LISTEN, result.stderr
    assert f"cannot listen on 127.0.0.1:{port} for scpi: Address already in use" in result.stderr
    assert result.stdout == ""
