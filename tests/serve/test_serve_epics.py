"""The EPICS endpoint against clients this project did not write: pyepics
(with the EPICS client library), caproto's command-line tools and client,
and ophyd. Every test runs with the EPICS address lists pinned to
127.0.0.1, on ports of its own, beside a CA repeater it starts and ends:
nothing goes beyond loopback, and parallel tests never see each other's
servers."""

import concurrent.futures
import contextlib
import os
import signal
import socket
import struct
import subprocess
import sys

import pytest

pytest.importorskip("caproto", reason="the epics extra is not installed: pip install 'qm4410[epics]'")
pytest.importorskip("epics", reason="pyepics is not installed")

import caproto as ca  # noqa: E402
from caproto import AlarmSeverity, AlarmStatus, ChannelType, ErrorResponseReceived  # noqa: E402
from caproto.sync.client import read, write  # noqa: E402
from caproto.threading.client import Context  # noqa: E402
from serving import COMMAND, WITHIN_S, Server, run_command, until  # noqa: E402

from qm4410.server.epics.ca_server import CA_REPEATER_PORT  # noqa: E402

PREFIX = "TEST:PSU:"
GONE = "TEST:GONE:"
OUTSIDE = "TEST:OUTSIDE:"
CLIENT_TIMEOUT_S = 120
SERVE = [*COMMAND, "serve", "--rfc2217", "0", "--scpi", "0"]


def free_port() -> int:
    """A port free for both UDP and TCP on loopback (CA searches come by
    UDP to the port a server takes by TCP too)."""
    while True:
        with socket.socket() as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(type=socket.SOCK_DGRAM) as udp, contextlib.suppress(OSError):
                udp.bind(("127.0.0.1", port))
                return port


@pytest.fixture(scope="module")
def pinned():
    """The EPICS environment of the module's servers and clients: loopback
    only, its own ports, its own repeater."""
    environment = {
        "EPICS_CA_ADDR_LIST": "127.0.0.1",
        "EPICS_CA_AUTO_ADDR_LIST": "NO",
        "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
        "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
        "EPICS_CA_SERVER_PORT": str(free_port()),
        "EPICS_CA_REPEATER_PORT": str(free_port()),
    }
    with pytest.MonkeyPatch.context() as patch:
        for name, value in environment.items():
            patch.setenv(name, value)
        repeater = subprocess.Popen([sys.executable, "-m", "caproto.commandline.repeater", "-q"])
        try:
            yield environment
        finally:
            repeater.terminate()
            repeater.wait(10)


@pytest.fixture(scope="module")
def served(pinned, start_server, tmp_path_factory):
    control = tmp_path_factory.mktemp("epics") / "control"
    server = start_server(
        "--sim",
        "--load",
        "10",
        "--control",
        control,
        "--limit-voltage",
        "12",
        "--trip-current",
        "1.5",
        "--epics",
        PREFIX,
    )
    assert server.epics == f"ca://127.0.0.1:{pinned['EPICS_CA_SERVER_PORT']}/{PREFIX}", server.log()

    def change(line):
        with open(control, "w") as pipe:
            pipe.write(line + "\n")

    server.change = change
    return server


def value(name, prefix=PREFIX):
    return read(prefix + name, timeout=5).data[0]


def alarm(name, prefix=PREFIX):
    """(status, severity) of a PV."""
    metadata = read(prefix + name, data_type="time", timeout=5).metadata
    return AlarmStatus(metadata.status), AlarmSeverity(metadata.severity)


def disconnect(*contexts):
    """Disconnect caproto's client contexts all at once: each waits for its
    threads, one of which looks for work only every few seconds."""
    with concurrent.futures.ThreadPoolExecutor(len(contexts)) as pool:
        for done in [pool.submit(context.disconnect) for context in contexts]:
            done.result()


def client(script):
    """Run a Python client in a process of its own (the EPICS client
    library keeps one context a process); what it printed."""
    # Ended without the library's teardown, which may crash at exit.
    script += "\nimport os, sys; sys.stdout.flush(); os._exit(0)\n"
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=CLIENT_TIMEOUT_S)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_pyepics_sets_reads_back_and_monitors_what_the_supply_measures(served):
    out = client(f"""
import time, epics
P = {PREFIX!r}
seen = []
measured = epics.PV(P + "VOLT_MEAS", callback=lambda value, **_: seen.append(value))
assert measured.wait_for_connection(10)
assert epics.caput(P + "REMOTE_SP", "REMOTE", wait=True) == 1
assert epics.caput(P + "VOLT_SP", 4.0009, wait=True) == 1
assert epics.caput(P + "OUT_SP", 1, wait=True) == 1
deadline = time.monotonic() + 20
while 4.0 not in seen and time.monotonic() < deadline:
    time.sleep(0.05)
ctrl = epics.PV(P + "VOLT_SP", form="ctrl")
ctrl.wait_for_connection(10)
limits = ctrl.get_ctrlvars()
print(epics.caget(P + "VOLT_SP"), epics.caget(P + "VOLT_RBV"), 4.0 in seen, epics.caget(P + "CURR_MEAS"),
      limits["units"], limits["precision"], limits["upper_ctrl_limit"], epics.caget(P + "IDN"))
""")
    # As sent: truncated to the supply's 1 mV, as at every door; 10 ohms draw 0.4 A.
    assert out.split() == ["4.0", "4.0", "True", "0.4", "V", "3", "12.0", "QM4410,4410,000000001,102"]


@pytest.mark.parametrize(
    "pv, put, refusal",
    [
        ("VOLT_SP", "13", "the voltage 13.0 V is outside the range the guard allows, 0 to 12.000 V"),
        ("VOLT_SP", "nan", "the voltage must be a finite number, not nan"),
        ("CURR_SP", "70", "the current limit 70.0 A is outside the supply's range, 0 to 65.535 A"),
        ("OUT_SP", "2", "CaprotoConversionError"),
        ("VOLT_RBV", "1", "cannot write"),
    ],
)
def test_a_refused_put_is_the_client_s_error_is_logged_and_sends_nothing(served, pv, put, refusal):
    # The read-backs hold the supply's set-points once a reading has fed them.
    until(lambda: alarm("CURR_RBV") == (AlarmStatus.NO_ALARM, AlarmSeverity.NO_ALARM))
    before = value("VOLT_RBV"), value("CURR_RBV")
    done = subprocess.run(
        [sys.executable, "-m", "caproto.commandline.put", "--no-repeater", PREFIX + pv, put],
        capture_output=True,
        text=True,
        timeout=CLIENT_TIMEOUT_S,
    )
    told = done.stdout + done.stderr
    assert "ECA_PUTFAIL" in told and refusal in told.replace("\\'", "'"), told
    if pv != "VOLT_RBV":  # refused by the server, which says so
        until(lambda: f"a put to {PREFIX}{pv} refused" in served.log())
    assert (value("VOLT_RBV"), value("CURR_RBV")) == before


def test_a_put_of_a_string_to_a_number_is_refused(served):
    with pytest.raises(ErrorResponseReceived, match="ECA_PUTFAIL.*CaprotoConversionError"):
        write(PREFIX + "VOLT_SP", ["five"], data_type=ChannelType.STRING, notify=True, timeout=10)
    until(lambda: f"a put to {PREFIX}VOLT_SP refused: CaprotoConversionError" in served.log())


def test_caproto_s_tools_get_put_and_monitor(served):
    tools = [sys.executable, "-m", "caproto.commandline"]
    put = subprocess.run(
        [*tools[:2], "caproto.commandline.put", "--no-repeater", PREFIX + "CURR_SP", "0.25"],
        capture_output=True,
        text=True,
        timeout=CLIENT_TIMEOUT_S,
    )
    assert "New : " in put.stdout and "0.25" in put.stdout, put.stdout + put.stderr
    monitor = subprocess.run(
        [
            *tools[:2],
            "caproto.commandline.monitor",
            "--no-repeater",
            "--maximum",
            "3",
            "--format",
            "{response.data[0]}",
            PREFIX + "CURR_RBV",
        ],
        capture_output=True,
        text=True,
        timeout=CLIENT_TIMEOUT_S,
    )
    assert monitor.stdout.split() == ["0.25"] * 3, monitor.stdout + monitor.stderr  # one event a reading
    got = subprocess.run(
        [*tools[:2], "caproto.commandline.get", "--no-repeater", "-n", PREFIX + "MODE_RBV"],
        capture_output=True,
        text=True,
        timeout=CLIENT_TIMEOUT_S,
    )
    assert got.stdout.split()[-1] in ("[0]", "[1]", "[2]"), got.stdout


def test_an_ophyd_signal_sets_and_reads(served):
    pytest.importorskip("ophyd")
    out = client(f"""
from ophyd import EpicsSignal, EpicsSignalRO
P = {PREFIX!r}
voltage = EpicsSignal(P + "VOLT_RBV", write_pv=P + "VOLT_SP", tolerance=0.001)
voltage.wait_for_connection(10)
voltage.set(2.5, timeout=20).wait(20)
print(voltage.get(), EpicsSignalRO(P + "VOLT_MEAS").get(), voltage.metadata["units"])
""")
    assert out.split()[0] == "2.5" and out.split()[2] == "V", out


def test_a_trip_is_a_major_alarm_refuses_switching_on_and_clears(served):
    context = Context()
    try:
        volts, amperes, out_sp, clear = context.get_pvs(
            *(PREFIX + name for name in ("VOLT_SP", "CURR_SP", "OUT_SP", "TRIP_CLEAR")), timeout=10
        )
        volts.write([2.5], wait=True, timeout=10)
        amperes.write([2], wait=True, timeout=10)
        served.change("load 1")  # 2 A, above the 1.5 A that trips
        out_sp.write([1], wait=True, timeout=10)
        until(lambda: value("TRIP_RBV") == b"current")
        assert alarm("TRIP_RBV") == (AlarmStatus.STATE, AlarmSeverity.MAJOR_ALARM)
        until(lambda: alarm("OUT_RBV")[1] == AlarmSeverity.MAJOR_ALARM and value("OUT_RBV") == b"OFF")
        refused = subprocess.run(
            [sys.executable, "-m", "caproto.commandline.put", "--no-repeater", PREFIX + "OUT_SP", "1"],
            capture_output=True,
            text=True,
            timeout=CLIENT_TIMEOUT_S,
        )
        assert "ECA_PUTFAIL" in refused.stdout and "the guard tripped on current" in refused.stdout, refused.stdout
        served.change("load 10")
        clear.write([1], wait=True, timeout=10)
        until(lambda: value("TRIP_RBV") == b"none" and alarm("TRIP_RBV")[1] == AlarmSeverity.NO_ALARM)
        out_sp.write([0], wait=True, timeout=10)
    finally:
        context.disconnect()
    assert "clears the current trip through " + PREFIX + "TRIP_CLEAR" in served.log()


def test_sixteen_monitor_clients_each_see_every_change(served):
    contexts = [Context() for _ in range(16)]
    seen = [[] for _ in contexts]
    # caproto holds callbacks weakly: these are kept here.
    callbacks = [lambda sub, response, values=values: values.append(response.data[0]) for values in seen]
    try:
        for context, callback in zip(contexts, callbacks):
            (pv,) = context.get_pvs(PREFIX + "MAX_VOLT_RBV", timeout=10)
            pv.subscribe().add_callback(callback)
        until(lambda: all(values for values in seen))
        contexts[0].get_pvs(PREFIX + "MAX_VOLT_SP")[0].write([11.5], wait=True, timeout=10)
        until(lambda: all(values and values[-1] == 11.5 for values in seen))
    finally:
        disconnect(*contexts)


def test_a_client_whose_message_is_larger_than_any_pv_takes_is_hung_up_on(served):
    port = int(served.epics.split(":")[2].split("/")[0])
    with socket.create_connection(("127.0.0.1", port), timeout=WITHIN_S) as circuit:
        # A header whose payload would be almost 64 KiB, of which 32 KiB follow.
        circuit.sendall(struct.pack(">HHHHII", 1, 0xFFF0, 0, 1, 0, 0))
        with contextlib.suppress(ConnectionResetError, BrokenPipeError):
            for _ in range(32):
                circuit.sendall(bytes(1024))
            while circuit.recv(4096):
                pass
    until(lambda: "epics client 127.0.0.1:" in served.log() and "bytes of a message not yet whole" in served.log())


def test_the_supply_vanishing_is_invalid_until_it_is_back(pinned, tmp_path, monkeypatch):
    from test_serve_faults import qm4410_sim

    # A port of its own: of two servers on one loopback port, only one gets
    # a client's searches.
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(free_port()))
    link = tmp_path / "ttyQM"
    sims = [qm4410_sim("--link", link)]
    server = Server(["--port", link, "--reconnect", "--epics", GONE], tmp_path / "serve.log")
    try:
        until(lambda: value("CONNECTED", GONE) == b"YES" and alarm("VOLT_MEAS", GONE)[1] == AlarmSeverity.NO_ALARM)
        sims[0].kill()
        until(lambda: value("CONNECTED", GONE) == b"NO")
        assert alarm("VOLT_MEAS", GONE) == (AlarmStatus.COMM, AlarmSeverity.INVALID_ALARM)
        assert alarm("CONNECTED", GONE) == (AlarmStatus.COMM, AlarmSeverity.MAJOR_ALARM)
        sims.append(qm4410_sim("--link", link, "--serial", "000000002"))
        until(lambda: value("CONNECTED", GONE) == b"YES" and alarm("VOLT_MEAS", GONE)[1] == AlarmSeverity.NO_ALARM)
        until(lambda: value("IDN", GONE) == b"QM4410,4410,000000002,102")
    finally:
        assert server.stop() == 128 + signal.SIGTERM, server.log()
        for sim in sims:
            sim.kill()
            sim.wait()
    assert "Traceback" not in server.log()


def test_by_default_it_binds_and_sends_beacons_on_loopback_alone(tmp_path):
    """With none of the server's EPICS addresses in the environment, every
    socket of the server is bound to 127.0.0.1, or connected there alone
    (its beacons'). Run in a network namespace of its own, where loopback is
    all there is, so that even a fault sends nothing elsewhere."""
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        pytest.skip("no network namespace can be made here")
    environment = {name: value for name, value in os.environ.items() if not name.startswith("EPICS_CAS_")}
    repeater = environment.get("EPICS_CA_REPEATER_PORT", CA_REPEATER_PORT)
    log = tmp_path / "serve.log"
    with open(log, "w") as errors:
        proc = subprocess.Popen(
            ["unshare", "-n", "sh", "-c", 'ip link set lo up && exec "$@"', "-", *SERVE, "--sim", "--epics", PREFIX],
            stdout=subprocess.PIPE,
            stderr=errors,
            text=True,
            env=environment,
        )
    try:
        lines = [proc.stdout.readline().strip() for _ in range(3)]
        assert lines[2].startswith("ca://127.0.0.1:"), log.read_text()
        sockets = ["nsenter", "-t", str(proc.pid), "-n", "lsof", "-a", "-nP", "-i", "-p", str(proc.pid)]
        # Once the beacons' socket is there, every socket is.
        listing = until(
            lambda: (
                [
                    line.split()[8]
                    for line in subprocess.run(sockets, capture_output=True, text=True, timeout=30).stdout.splitlines()[
                        1:
                    ]
                ]
                if "->" in subprocess.run(sockets, capture_output=True, text=True, timeout=30).stdout
                else None
            )
        )
        # Bound to loopback, or connected there: none left by a connection
        # to the broadcast address that failed here (no such network).
        wide = [name for name in listing if not name.split("->")[-1].startswith("127.0.0.1:")]
        assert wide == [] and any(name.endswith(f"->127.0.0.1:{repeater}") for name in listing), listing
    finally:
        proc.send_signal(signal.SIGTERM)
        proc.wait(30)
        proc.stdout.close()


def test_a_client_from_outside_the_allowed_networks_gets_neither_reads_nor_writes(pinned, tmp_path, monkeypatch):
    """With --allow 127.0.0.2, a client on 127.0.0.1 is outside: its search
    for a PV gets no answer, and a circuit it opens is closed at once; the
    same from 127.0.0.2 is answered."""
    port = free_port()
    monkeypatch.setenv("EPICS_CA_SERVER_PORT", str(port))
    server = Server(["--sim", "--epics", OUTSIDE, "--allow", "127.0.0.2"], tmp_path / "serve.log")
    search = b"".join(
        bytes(message)
        for message in (ca.VersionRequest(priority=0, version=13), ca.SearchRequest(OUTSIDE + "VOLT_SP", 1, 13))
    )
    try:
        answers = {}
        for source in ("127.0.0.1", "127.0.0.2"):
            with socket.socket(type=socket.SOCK_DGRAM) as searcher:
                searcher.bind((source, 0))
                searcher.settimeout(3)
                searcher.sendto(search, ("127.0.0.1", port))
                try:
                    answers[source, "search"] = bool(searcher.recv(4096))
                except TimeoutError:
                    answers[source, "search"] = False
            with socket.socket() as circuit:
                circuit.bind((source, 0))
                circuit.settimeout(WITHIN_S)
                circuit.connect(("127.0.0.1", port))
                circuit.sendall(bytes(ca.VersionRequest(priority=0, version=13)))
                try:
                    answers[source, "circuit"] = bool(circuit.recv(4096))
                except ConnectionResetError:
                    answers[source, "circuit"] = False
    finally:
        assert server.stop() == 128 + signal.SIGTERM, server.log()
    assert answers == {
        ("127.0.0.1", "search"): False,
        ("127.0.0.1", "circuit"): False,
        ("127.0.0.2", "search"): True,
        ("127.0.0.2", "circuit"): True,
    }, server.log()
    assert "epics client 127.0.0.1:" in server.log() and "refused: its address is not in any --allow network" in (
        server.log()
    )


def test_a_prefix_that_cannot_name_a_pv_is_refused_before_anything_opens():
    done = run_command("serve", "--sim", "--epics", "LAB PSU")
    assert done.returncode == 2 and "the EPICS prefix 'LAB PSU' must be" in done.stderr, done.stderr
