"""`qm4410 serve --config RACK.toml`: several supplies from one process, one
that goes away leaving the others served, and a rack file refused whole,
with every problem on its line, before anything opens."""

import contextlib
import json
import os
import pathlib
import select
import signal
import socket
import subprocess
import sys
import time
import urllib.request

import pytest
from processes import children_of
from serving import COMMAND, START_TIMEOUT_S, command_environment, run_command

from qm4410.cli.commands.serve import supply_options
from qm4410.cli.rack_file import RackFileError, read_rack

EXAMPLE = pathlib.Path(__file__).parents[2] / "examples" / "rack.toml"
NAMES = ("psu1", "psu2", "psu3")


def rack_text(tmp_path, *extra_per_supply: str) -> str:
    """Three virtual supplies, each with a control pipe named after it."""
    tables = [
        f'[[supply]]\nname = "{name}"\nsim = true\ncontrol = "{tmp_path / name}"\n{extra}\n'
        for name, extra in zip(NAMES, extra_per_supply or ("",) * len(NAMES))
    ]
    return "rfc2217 = 0\nscpi = 0\n\n" + "\n".join(tables)


def ask(port: int, *lines: str) -> list[str]:
    """The answers to `lines`, each a query, sent one after the other by
    one SCPI client."""
    answers = []
    with socket.create_connection(("127.0.0.1", port), timeout=10) as connection:
        for line in lines:
            connection.sendall(line.encode() + b"\n")
            answer = b""
            while not answer.endswith(b"\n"):
                chunk = connection.recv(4096)
                assert chunk, f"the server hung up on {line!r}"
                answer += chunk
            answers.append(answer.decode().strip())
    return answers


@contextlib.contextmanager
def serving_rack(path, log_path, count):
    """`qm4410 serve --config path`, its log to `log_path`, once it has
    printed `count` lines (name, resource): its process, and those lines.
    Stopped by SIGTERM at the end, which it must end with, and no
    traceback."""
    with open(log_path, "w") as log:
        process = subprocess.Popen(
            [*COMMAND, "serve", "--config", str(path)],
            stdout=subprocess.PIPE,
            stderr=log,
            bufsize=0,
            env=command_environment(),
        )
    try:
        lines = []
        while len(lines) < count:
            ready, _, _ = select.select([process.stdout], [], [], START_TIMEOUT_S)
            assert ready, (lines, log_path.read_text())
            lines.append(process.stdout.readline().decode().split())
        yield process, lines
    finally:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
        status = process.wait(15)
        process.stdout.close()
    told = log_path.read_text()
    assert status == 128 + signal.SIGTERM and "Traceback" not in told, told


@pytest.fixture
def rack(tmp_path):
    """A rack server on a file of three virtual supplies: its process, and
    each supply's SCPI port by name."""
    path = tmp_path / "rack.toml"
    path.write_text(rack_text(tmp_path))
    log_path = tmp_path / "serve.log"
    with serving_rack(path, log_path, 2 * len(NAMES)) as (process, lines):
        scpi = {name: int(resource.split("::")[2]) for name, resource in lines if resource.startswith("TCPIP::")}
        assert sorted(name for name, resource in lines if resource.startswith("rfc2217://127.0.0.1:")) == list(NAMES)
        yield process, scpi, log_path


@pytest.mark.parametrize("vanishing", [None, "psu2"])
def test_a_rack_serves_every_supply_and_one_gone_leaves_the_others_served(rack, tmp_path, vanishing):
    process, scpi, log_path = rack
    for name in NAMES:
        assert ask(scpi[name], "*IDN?")[0].startswith("QM4410,")
    if vanishing is None:
        return
    simulators = [pid for pid, line in children_of(process.pid).items() if str(tmp_path / vanishing) in line]
    assert len(simulators) == 1, children_of(process.pid)
    os.kill(simulators[0], signal.SIGKILL)
    # Its server finds out at its next exchange, and says so.
    deadline = time.monotonic() + 30
    while "port is gone" not in ask(scpi[vanishing], "MEAS:VOLT?", "SYST:ERR?")[1]:
        assert time.monotonic() < deadline, log_path.read_text()
    for name in set(NAMES) - {vanishing}:
        assert ask(scpi[name], "VOLT 2;VOLT?", "SYST:ERR?") == ["2.000", '0,"No error"']
    assert f"{vanishing}: the supply's port is gone" in log_path.read_text()
    # Though the rack reconnects, a virtual supply of its own that ended is
    # never opened again: its pseudo-terminal may be another program's now.
    while "it is not served any more" not in log_path.read_text():
        assert time.monotonic() < deadline + 30, log_path.read_text()
        time.sleep(0.1)


LINES = [
    "rfc2217 = 0",  # 1
    "scpi = 0",  # 2
    "limt-voltage = 12",  # 3: unknown
    "[[supply]]",  # 4
    'name = "a"',  # 5
    "sim = true",  # 6
    'control = "{control}"',  # 7
    "rfc2217 = 7001",  # 8
    "[[supply]]",  # 9
    'name = "a"',  # 10: the name again
    'port = "/dev/ttyQM-a"',  # 11
    "rfc2217 = 7001",  # 12: the TCP port again
    "trip-current = -1",  # 13: refused by the option's own check
    "[[supply]]",  # 14
    'name = "c"',  # 15
    'port = "/dev/ttyQM-a"',  # 16: the port again
    'limit-voltage = "12"',  # 17: a string, not a number
    "load = 8",  # 18: no virtual supply
    'epics = "LAB:C:"',  # 19
    "[[supply]]",  # 20
    'name = "d"',  # 21
    'port = "/dev/ttyQM-d"',  # 22
    "rfc2217 = 0",  # 23
    "scpi = 0",  # 24
    'epics = "LAB:C:"',  # 25: the prefix again
    "[[supply]]",  # 26
    'name = "e"',  # 27
    'port = "/dev/ttyQM-e"',  # 28
    "rfc2217 = 0",  # 29
    "scpi = 0",  # 30
    'epics = "LAB:C:MAX_"',  # 31: naming c's LAB:C:MAX_VOLT_SP again
    "soft-start = true",  # 32: with no slew-voltage to ramp at
    "http = 0",  # 33
    "[[supply]]",  # 34
    'name = "metrics"',  # 35: the HTTP server's own path
    'port = "/dev/ttyQM-f"',  # 36
    "rfc2217 = 0",  # 37
    "scpi = 0",  # 38
    'http = "127.0.0.1:0"',  # 39: a second HTTP server
    "[[supply]]",  # 40
    'name = "g"',  # 41
    'port = "/dev/ttyQM-g"',  # 42
    "rfc2217 = 0",  # 43
    "scpi = 0",  # 44
    "http-control = true",  # 45: without a page to control from
    'epics = "LAB:G:"',  # 46
    'bind = "127.0.0.2"',  # 47: the rack's one Channel Access server is on c's 127.0.0.1
]
PROBLEMS = {
    3: "unknown key 'limt-voltage': limit-voltage?",
    10: "name a is a's already",
    12: "rfc2217 127.0.0.1:7001 is taken by a's rfc2217",
    13: "trip-current: the trip current must be above 0, not -1.0",
    16: "port /dev/ttyQM-a is a's already",
    17: 'limit-voltage takes a number, not "12"',
    18: "load is an option of the virtual supply: add sim = true",
    25: "epics LAB:C: is c's already",
    31: "epics LAB:C:MAX_ and c's LAB:C: would both name the PV LAB:C:MAX_VOLT_RBV",
    32: "soft-start needs slew-voltage",
    35: "the name metrics is a path of the HTTP server's own",
    39: "http: a rack has one HTTP server, and e gave it 0: give http once, at the top of the file",
    45: "http-control needs http, the page it controls from",
    47: "bind: a rack has one Channel Access server, and c put it on 127.0.0.1",
}


def test_every_supply_of_a_rack_is_on_one_channel_access_server_under_its_own_prefix():
    """Run in a network namespace of its own (rack_channel_access.py):
    each prefix reaches its own supply, a supply's --allow holds for its
    PVs alone, and a supply that goes away takes its PVs with it."""
    pytest.importorskip("caproto", reason="the epics extra is not installed: pip install 'qm4410[epics]'")
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        pytest.skip("no network namespace can be made here (unshare -n needs root or user namespaces)")
    helper = pathlib.Path(__file__).with_name("rack_channel_access.py")
    done = subprocess.run(["unshare", "-n", sys.executable, str(helper)], capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stderr
    found = json.loads(done.stdout)
    log = found.pop("log")
    assert found == {
        "resources": {f"psu{n}": f"ca://127.0.0.1:5064/RACK:P{n}:" for n in (1, 2, 3)},
        "read_back": [1.5, 2.5],
        "outside_read": None,
        "searches": {"127.0.0.1": False, "127.0.0.2": True},
        "channels": {"RACK:P1:VOLT_SP": "created", "RACK:P3:VOLT_SP": "refused"},
        "psu2_gone": True,
        "psu1_after": "YES",
        "status": 128 + signal.SIGTERM,
    }, log
    assert "refused RACK:P3:VOLT_SP: its address is not in any --allow network" in log and "Traceback" not in log


def test_a_rack_file_is_refused_whole_with_every_problem_on_its_line(tmp_path):
    control = tmp_path / "control"
    path = tmp_path / "rack.toml"
    path.write_text("\n".join(LINES).format(control=control) + "\n")
    result = run_command("serve", "--config", str(path))
    assert result.returncode == 2, result.stderr
    assert result.stdout == ""
    told = [line for line in result.stderr.splitlines() if line.startswith(f"{path}:")]
    assert len(told) == len(PROBLEMS), result.stderr
    for (line, words), said in zip(sorted(PROBLEMS.items()), told):
        assert said.startswith(f"{path}:{line}: {words}"), result.stderr
    assert not control.exists()  # the first supply's virtual supply never started


@pytest.mark.parametrize(
    "text, said",
    [
        ('[[suply]]\nname = "a"\nsim = true\n', "1: unknown table [[suply]]: [[supply]]?"),
        ('[[supply]]\nname = "a"\nsim = true\n[guards]\nlimit-voltage = 12\n', "4: unknown table [guards]"),
    ],
)
def test_a_misspelt_table_is_named_with_the_one_meant(tmp_path, text, said):
    path = tmp_path / "rack.toml"
    path.write_text(text)
    with pytest.raises(RackFileError) as refused:
        read_rack(str(path), supply_options)
    assert f"{path}:{said}" in refused.value.problems


def test_config_leaves_the_supply_and_its_options_to_the_file(tmp_path):
    result = run_command("serve", "--config", str(EXAMPLE), "--sim", "--limit-voltage", "5")
    assert result.returncode == 2
    assert "leave out --sim, --limit-voltage" in result.stderr


def test_the_example_rack_file_is_one_to_serve():
    rack = read_rack(str(EXAMPLE), supply_options)
    assert [supply.name for supply in rack] == ["psu1", "psu2", "bench3", "practice"]
    assert all(supply.args.off_on_exit and supply.args.reconnect for supply in rack)


def test_a_rack_s_pages_share_one_http_server_with_an_overview_of_them(tmp_path):
    pytest.importorskip("starlette", reason="the web extra is not installed: pip install 'qm4410[web]'")
    from websockets.exceptions import ConnectionClosed
    from websockets.sync.client import connect

    path = tmp_path / "rack.toml"
    token = "a-long-token-of-the-lab"
    path.write_text(
        f'rfc2217 = 0\nscpi = 0\nhttp = 0\nhttp-control = true\nhttp-token = "{token}"\n\n'
        '[[supply]]\nname = "psu1"\nsim = true\n\n[[supply]]\nname = "psu2"\nsim = true\nhttp-control = false\n'
    )
    log_path = tmp_path / "serve.log"
    with serving_rack(path, log_path, 6) as (_, lines):
        pages = {name: resource for name, resource in lines if resource.startswith("http://")}
        root = pages["psu1"].removesuffix("psu1/")
        assert root.startswith("http://127.0.0.1:") and pages == {"psu1": root + "psu1/", "psu2": root + "psu2/"}
        with urllib.request.urlopen(root, timeout=30) as overview:
            listed = overview.read().decode()
        assert all(f'href="{name}/"' in listed for name in ("psu1", "psu2"))
        with urllib.request.urlopen(root + "metrics", timeout=30) as metrics:
            text = metrics.read().decode()
        assert 'qm4410_connected{supply="psu1"}' in text and 'qm4410_connected{supply="psu2"}' in text
        hellos = {}
        for name in ("psu1", "psu2"):
            with connect(pages[name].replace("http://", "ws://") + "ws", open_timeout=30) as page:
                page.send(json.dumps({"type": "hello", "token": token}))
                hellos[name] = json.loads(page.recv(timeout=30))
                if name == "psu2":  # read-only: the token gives nothing, and a request ends the page
                    page.send('{"type": "output", "on": true}')
                    with pytest.raises(ConnectionClosed) as closed:
                        while True:
                            page.recv(timeout=30)
                    assert closed.value.rcvd.code == 1008 and "read-only" in closed.value.rcvd.reason
        assert [(hellos[name]["controllable"], hellos[name]["control"]) for name in ("psu1", "psu2")] == [
            (True, True),
            (False, False),
        ]
        assert hellos["psu2"]["name"] == "psu2"
    told = log_path.read_text()
    assert token not in told and all(token not in " ".join(line) for line in lines)  # given, so never told


def test_a_supply_s_own_keys_override_the_rack_s_and_a_state_file_is_one_supply_s(tmp_path):
    path = tmp_path / "rack.toml"
    tables = [
        '[[supply]]\nname = "a"\nport = "/dev/ttyQM-a"\nreconnect = false\noff-on-exit = false\nstate = "a.json"\n',
        '[[supply]]\nname = "b"\nport = "/dev/ttyQM-b"\nrfc2217 = 0\nscpi = 0\n',
    ]
    path.write_text("off-on-exit = true\n" + "\n".join(tables))
    a, b = read_rack(str(path), supply_options)
    assert (a.args.reconnect, a.args.off_on_exit, b.args.reconnect, b.args.off_on_exit) == (False, False, True, True)
    path.write_text(path.read_text() + 'state = "a.json"\n')
    with pytest.raises(RackFileError, match=r"rack\.toml:14: state .*a\.json is a's already"):
        read_rack(str(path), supply_options)
