"""The web endpoint's WebSocket and /metrics against plain clients: the
token in a header or the hello, refused when wrong or missing with nothing
changed; malformed messages answered; a hundred pages opened and dropped
leaving the server as it was; /metrics read by Prometheus's own parser;
--allow; and the options that do not go together."""

import contextlib
import json
import os
import re
import signal
import socket
import time
import urllib.error
import urllib.request

import pytest
from serving import WITHIN_S, Server, run_command, scpi_client, until

pytest.importorskip("starlette", reason="the web extra is not installed: pip install 'qm4410[web]'")

from prometheus_client.parser import text_string_to_metric_families  # noqa: E402
from websockets.exceptions import ConnectionClosed, InvalidStatus  # noqa: E402
from websockets.sync.client import connect  # noqa: E402

TOKEN = "the-page-s-token-for-tests"
POLICY_VIOLATION = 1008
MESSAGE_TOO_BIG = 1009


@pytest.fixture(scope="module")
def served(start_server):
    server = start_server("--sim", "--load", "10", "--http", "0", "--http-control", "--http-token", TOKEN)
    assert server.http and server.http.startswith("http://127.0.0.1:"), server.log()
    server.ws = server.http.replace("http://", "ws://") + "ws"
    return server


@pytest.fixture
def scpi(visa, served):
    client = scpi_client(visa, served)
    yield client
    client.close()


@contextlib.contextmanager
def page(served, token=None, header=None):
    """A page's WebSocket, its hello said and answered: (connection, hello)."""
    headers = {"Authorization": f"Bearer {header}"} if header else None
    with connect(served.ws, additional_headers=headers, open_timeout=WITHIN_S) as connection:
        connection.send(json.dumps({"type": "hello", **({"token": token} if token else {})}))
        yield connection, answer(connection)


def answer(connection):
    """The next message that is no reading."""
    while (message := json.loads(connection.recv(timeout=WITHIN_S)))["type"] == "reading":
        pass
    return message


def closed_with(connection):
    """The code the server closed `connection` with."""
    with pytest.raises(ConnectionClosed) as closed:
        while True:
            connection.recv(timeout=WITHIN_S)
    return closed.value.rcvd.code


def metrics(served):
    with urllib.request.urlopen(served.http + "metrics", timeout=WITHIN_S) as response:
        return {
            (sample.name, *sorted(sample.labels.items())): sample.value
            for family in text_string_to_metric_families(response.read().decode())
            for sample in family.samples
        }


def process_use(pid):
    """The server process's threads, open files and resident memory (KiB)."""
    status = dict(line.split(":", 1) for line in open(f"/proc/{pid}/status").read().splitlines())
    files = len(os.listdir(f"/proc/{pid}/fd"))
    return int(status["Threads"]), files, int(status["VmRSS"].split()[0])


def hello_port(served):
    with page(served) as (_, hello):
        return hello["port"]


@pytest.mark.parametrize("where", ["header", "hello"])
def test_the_token_in_a_header_or_the_hello_controls_through_the_guard(served, scpi, where):
    with page(served, **{"header" if where == "header" else "token": TOKEN}) as (connection, hello):
        assert hello["control"] and hello["controllable"] and hello["port"]
        connection.send(json.dumps({"type": "set", "quantity": "current", "value": 0.75, "id": 7}))
        assert answer(connection) == {"type": "done", "id": 7}
        assert scpi.query("CURR?") == "0.750"
        connection.send(json.dumps({"type": "set", "quantity": "current", "value": 70, "id": "x"}))
        assert answer(connection) == {
            "type": "refused",
            "id": "x",
            "error": "the current limit 70.0 A is outside the supply's range, 0 to 65.535 A",
        }
        connection.send(json.dumps({"type": "output", "on": False}))
        assert answer(connection)["type"] == "done"


@pytest.mark.parametrize("how", ["a wrong header", "a wrong hello", "no token"])
def test_a_wrong_or_missing_token_is_refused_and_changes_nothing(served, scpi, how):
    scpi.write("VOLT 1")
    if how == "a wrong header":
        with pytest.raises(InvalidStatus) as refused, page(served, header="not-the-token-at-all"):
            pass
        assert refused.value.response.status_code == 403
    else:
        with connect(served.ws, open_timeout=WITHIN_S) as connection:
            if how == "a wrong hello":  # closed at once, before anything else could be asked
                connection.send(json.dumps({"type": "hello", "token": "not-the-token-at-all"}))
            else:
                connection.send(json.dumps({"type": "hello"}))
                answer(connection)
                connection.send(json.dumps({"type": "set", "quantity": "voltage", "value": 7}))
            assert closed_with(connection) == POLICY_VIOLATION
    assert scpi.query("VOLT?") == "1.000"


def test_malformed_messages_are_answered_and_the_page_goes_on(served):
    with page(served, token=TOKEN) as (connection, _):
        for message, said in [
            (b"\x00\x01", "not binary"),
            ("VOLT 5", "this one is not JSON"),
            ("[1, 2]", "a message is a JSON object"),
            ('{"type": "fly"}', "no request is of the type 'fly'"),
            ('{"type": "set", "quantity": "power", "value": 1}', "the voltage or the current, not 'power'"),
            ('{"type": "set", "quantity": "voltage", "value": "5"}', "a set-point is a number, not '5'"),
            ('{"type": "set", "quantity": "voltage", "value": true}', "a set-point is a number, not True"),
            ('{"type": "output", "on": "yes"}', "with true and off with false, not 'yes'"),
            ('{"type": "hello", "token": "again"}', "a page says hello once, first"),
        ]:
            connection.send(message)
            told = answer(connection)
            assert told["type"] == "error" and said in told["error"], (message, told)
        connection.send('{"type": "set", "quantity": "voltage", "value": NaN, "id": 1}')
        assert answer(connection) == {
            "type": "refused",
            "id": 1,
            "error": "the voltage must be a finite number, not nan",
        }
        connection.send(json.dumps({"type": "set", "quantity": "voltage", "value": 2, "id": 2}))
        assert answer(connection) == {"type": "done", "id": 2}
        connection.send(json.dumps({"type": "set", "quantity": "voltage", "value": 2, "pad": "x" * 5000}))
        assert closed_with(connection) == MESSAGE_TOO_BIG
    with connect(served.ws, open_timeout=WITHIN_S) as first:
        first.send(json.dumps({"type": "set", "quantity": "voltage", "value": 3}))
        assert closed_with(first) == POLICY_VIOLATION


def test_a_hundred_pages_opened_and_dropped_leave_the_server_as_it_was(served):
    port = hello_port(served)  # and what the first page brings into being, once
    before = process_use(served.proc.pid)
    with contextlib.ExitStack() as pages:
        connections = [pages.enter_context(page(served))[0] for _ in range(100)]
        assert metrics(served)[("qm4410_pages_open", ("supply", port))] == 100
        for number, connection in enumerate(connections):
            if number % 2:
                connection.close()
            else:  # gone without a word, as a browser whose machine sleeps
                connection.socket.shutdown(socket.SHUT_RDWR)
                connection.socket.close()
    until(lambda: metrics(served)[("qm4410_pages_open", ("supply", port))] == 0)
    time.sleep(1)
    threads, files, memory = process_use(served.proc.pid)
    assert threads <= before[0] + 2, (before, threads)
    assert files <= before[1] + 4, (before, files)
    assert memory <= before[2] + 16 * 1024, (before, memory)


def test_metrics_are_the_shared_reading_in_prometheus_text(served, scpi):
    port = hello_port(served)
    scpi.write("VOLT 3.3;CURR 0.5;OUTP ON")
    label = ("supply", port)
    found = until(lambda: (m := metrics(served)).get(("qm4410_measured_current_amperes", label)) == 0.33 and m)
    assert found[("qm4410_voltage_setpoint_volts", label)] == 3.3
    assert found[("qm4410_current_limit_amperes", label)] == 0.5
    assert found[("qm4410_measured_voltage_volts", label)] == 3.3
    assert found[("qm4410_measured_power_watts", label)] == pytest.approx(1.089)
    assert found[("qm4410_output_on", label)] == 1
    assert found[("qm4410_mode", ("qm4410_mode", "CV"), label)] == 1
    assert found[("qm4410_mode", ("qm4410_mode", "CC"), label)] == 0
    assert found[("qm4410_over_temperature", label)] == 0
    assert found[("qm4410_trip", ("qm4410_trip", "none"), label)] == 1
    assert found[("qm4410_trip", ("qm4410_trip", "current"), label)] == 0
    assert found[("qm4410_connected", label)] == 1
    assert found[("qm4410_readings_unanswered_total", label)] == 0
    readings = found[("qm4410_readings_total", label)]
    until(lambda: metrics(served)[("qm4410_readings_total", label)] > readings)
    scpi.write("OUTP OFF")


def test_a_client_from_a_network_not_allowed_gets_nothing(tmp_path):
    server = Server(["--sim", "--http", "0", "--http-control", "--allow", "192.0.2.0/24"], tmp_path / "serve.log")
    try:
        for path in ("", "metrics", "static/supply.js"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                urllib.request.urlopen(server.http + path, timeout=WITHIN_S)
            assert refused.value.code == 403
        with pytest.raises(InvalidStatus) as refused:
            connect(server.http.replace("http://", "ws://") + "ws", open_timeout=WITHIN_S)
        assert refused.value.response.status_code == 403
    finally:
        assert server.stop() == 128 + signal.SIGTERM, server.log()
    assert "http client 127.0.0.1" in server.log() and "refused: its address is not in any --allow network" in (
        server.log()
    )
    # A token made at start is told in the log alone, never with the resources.
    token = re.search(r"control token \(give it with --http-token to keep it\): (\S+)", server.log())[1]
    assert len(token) >= 24 and all(token not in line for line in (server.rfc2217, server.visa, server.http))


@pytest.mark.parametrize(
    "options, said",
    [
        (["--http-control"], "--http-control needs --http, the page it controls from"),
        (["--http", "0", "--http-token", "long-enough-token"], "--http-token needs --http-control"),
        (["--http", "0", "--http-control", "--http-token", "short"], "at least 12 characters"),
    ],
)
def test_the_page_s_options_that_do_not_go_together_are_refused(options, said):
    done = run_command("serve", "--sim", *options)
    assert done.returncode == 2 and said in done.stderr, done.stderr


def test_the_server_s_history_and_a_slow_page_s_slot_stay_bounded():
    """Readings for four times the plot's span, twenty a second, keep that
    span alone; and a page that reads nothing holds one message, the
    latest, however many come."""
    import asyncio

    from qm4410.server.http.feed import HISTORY_POINTS, HISTORY_S, Feed
    from qm4410.supply.setpoints import Bound
    from qm4410.supply.status import Mode, Status

    class Guard:
        trip = None
        rules = None

        def ramping(self, quantity):
            return False

        def bound(self, quantity):
            return Bound(30_000, "the supply's range")

    async def readings():
        feed = Feed("psu", None, Guard())
        slot = feed.join()
        status = Status(0.1, 1.0, 0.5, 30.0, 1.0, True, False, Mode.CV, 0, True)
        for twentieth in range(24_000):
            feed.take(status, twentieth / 20)
        latest = json.loads(await slot.next())
        return feed, latest, asyncio.create_task(slot.next())

    async def run():
        feed, latest, waiting = await readings()
        await asyncio.sleep(0.01)
        assert not waiting.done()  # nothing more was held for it
        waiting.cancel()
        return feed, latest

    feed, latest = asyncio.run(run())
    kept = list(feed._history)
    assert len(kept) <= HISTORY_POINTS and kept[-1][0] - kept[0][0] <= HISTORY_S
    assert latest["at"] == 1199.95 and feed.counts.readings == 24_000
