"""Channel Access to a rack of three virtual supplies, each on EPICS under
a prefix of its own, run by test_serve_rack.py under `unshare -n`: in a
network namespace of its own, whose loopback alone carries the searches,
so nothing leaves the machine and no other test's server is seen. Prints
what it found, as JSON."""

import json
import os
import pathlib
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

os.environ.update({"EPICS_CA_ADDR_LIST": "127.0.0.1", "EPICS_CA_AUTO_ADDR_LIST": "NO"})

import caproto as ca  # noqa: E402
from caproto.sync.client import read, write  # noqa: E402
from serving import COMMAND, command_environment  # noqa: E402

WITHIN_S = 30
RACK = """rfc2217 = 0
scpi = 0

[[supply]]
name = "psu1"
sim = true
epics = "RACK:P1:"

[[supply]]
name = "psu2"
sim = true
control = "{folder}/psu2"
reconnect = false
epics = "RACK:P2:"

[[supply]]
name = "psu3"
sim = true
epics = "RACK:P3:"
allow = ["127.0.0.2"]
"""
CREATED, REFUSED = 18, 26  # CreateChanResponse, CreateChFailResponse


def value(name: str, timeout: float = 5) -> object:
    """The PV's value, or None when no server answers for it."""
    try:
        return read(name, timeout=timeout, repeater=False).data[0]
    except TimeoutError:
        return None


def until(condition, within=WITHIN_S):
    deadline = time.monotonic() + within
    while not (found := condition()) and time.monotonic() < deadline:
        time.sleep(0.1)
    return found


def search_answered(source: str, port: int, name: str) -> bool:
    """Whether a search for `name` sent from `source` gets an answer."""
    search = bytes(ca.VersionRequest(priority=0, version=13)) + bytes(ca.SearchRequest(name, 1, 13))
    with socket.socket(type=socket.SOCK_DGRAM) as searcher:
        searcher.bind((source, 0))
        searcher.settimeout(3)
        searcher.sendto(search, ("127.0.0.1", port))
        try:
            return bool(searcher.recv(4096))
        except TimeoutError:
            return False


def channel_answer(port: int, name: str) -> str:
    """What the server answers a client on 127.0.0.1 that asks for a
    channel to `name` without searching first: created, refused or closed."""
    with socket.socket() as circuit:
        circuit.settimeout(WITHIN_S)
        circuit.connect(("127.0.0.1", port))
        hello = (ca.VersionRequest(priority=0, version=13), ca.HostNameRequest("test"), ca.ClientNameRequest("test"))
        circuit.sendall(b"".join(bytes(message) for message in (*hello, ca.CreateChanRequest(name, 1, 13))))
        received = b""
        while chunk := circuit.recv(4096):
            received += chunk
            at = 0
            while at + 16 <= len(received):
                command, size = struct.unpack(">HH", received[at : at + 4])
                if command in (CREATED, REFUSED):
                    return "created" if command == CREATED else "refused"
                at += 16 + size
        return "closed"


def simulator_of(pid: int, control: str) -> int:
    """The virtual supply `pid` started with the control pipe `control`."""
    for entry in pathlib.Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                stat = (entry / "stat").read_text()
                line = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode()
            except OSError:
                continue
            if int(stat.rsplit(")", 1)[1].split()[1]) == pid and control in line:
                return int(entry.name)
    raise LookupError(control)


def main() -> None:
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    found: dict[str, object] = {}
    with tempfile.TemporaryDirectory() as folder:
        rack = pathlib.Path(folder) / "rack.toml"
        rack.write_text(RACK.format(folder=folder))
        log_path = pathlib.Path(folder) / "serve.log"
        with open(log_path, "w") as log:
            server = subprocess.Popen(
                [*COMMAND, "serve", "--config", str(rack)],
                stdout=subprocess.PIPE,
                stderr=log,
                text=True,
                env=command_environment(),
            )
        try:
            lines = [server.stdout.readline().split() for _ in range(9)]
            found["resources"] = {name: resource for name, resource in lines if resource.startswith("ca://")}
            port = int(found["resources"]["psu1"].split(":")[2].split("/")[0])
            # Each prefix reaches its own supply: what is put is what that supply reads back.
            for prefix, volts in (("RACK:P1:", 1.5), ("RACK:P2:", 2.5)):
                write(prefix + "REMOTE_SP", [1], notify=True, timeout=10, repeater=False)
                write(prefix + "VOLT_SP", [volts], notify=True, timeout=10, repeater=False)
            until(lambda: [value("RACK:P1:VOLT_RBV"), value("RACK:P2:VOLT_RBV")] == [1.5, 2.5])
            found["read_back"] = [value("RACK:P1:VOLT_RBV"), value("RACK:P2:VOLT_RBV")]
            # psu3's PVs are for 127.0.0.2 alone.
            found["outside_read"] = value("RACK:P3:IDN", timeout=3)
            found["searches"] = {
                source: search_answered(source, port, "RACK:P3:VOLT_SP") for source in ("127.0.0.1", "127.0.0.2")
            }
            found["channels"] = {name: channel_answer(port, name) for name in ("RACK:P1:VOLT_SP", "RACK:P3:VOLT_SP")}
            # psu2 goes away, and is not waited for: its PVs go with it, the others stay.
            os.kill(simulator_of(server.pid, f"{folder}/psu2"), signal.SIGKILL)
            found["psu2_gone"] = bool(until(lambda: value("RACK:P2:CONNECTED", timeout=2) is None))
            found["psu1_after"] = value("RACK:P1:CONNECTED")
        finally:
            server.send_signal(signal.SIGTERM)
            found["status"] = server.wait(30)
            server.stdout.close()
            found["log"] = log_path.read_text()
    print(json.dumps(found, default=lambda item: item.decode() if isinstance(item, bytes) else str(item)))


if __name__ == "__main__":
    sys.exit(main())
