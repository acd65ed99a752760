"""VISA's discovery of a server advertised by mDNS, run by
test_serve_lxi_discovery.py under `unshare -n`: in a network namespace of
its own, whose loopback is made up and given multicast here, so that
nothing it sends can leave the machine. Prints what it found, as JSON."""

import json
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pyvisa
from serving import SCPI_TIMEOUT_MS, START_TIMEOUT_S, Server

HISLIP_PORT = 4880  # pyvisa-py's discovery takes every HiSLIP instrument to be on it
ATTEMPTS = 3


def main() -> None:
    for command in ("ip link set lo up", "ip link set lo multicast on", "ip route add 224.0.0.0/4 dev lo"):
        subprocess.run(command.split(), check=True)
    with tempfile.TemporaryDirectory() as folder:
        server = Server(["--sim", "--hislip", str(HISLIP_PORT), "--vxi11", "--mdns"], Path(folder) / "serve.log")
        try:
            # The resources are printed before the advertisement is under way.
            deadline = time.monotonic() + START_TIMEOUT_S
            while "_hislip._tcp.local." not in server.log() and time.monotonic() < deadline:
                time.sleep(0.05)
            manager = pyvisa.ResourceManager("@py")
            # pyvisa-py listens 1 s for answers; on a busy machine they may come later.
            for _ in range(ATTEMPTS):
                found = manager.list_resources("?*")
                if server.hislip in found:
                    break
            identity = None
            if server.hislip in found:
                with manager.open_resource(server.hislip, read_termination="\n", timeout=SCPI_TIMEOUT_MS) as supply:
                    identity = supply.query("*IDN?")
            print(json.dumps({"served": [server.hislip, server.vxi11], "found": list(found), "identity": identity}))
        finally:
            status = server.stop()
            print(server.log(), file=sys.stderr)
            assert status == 143, status


if __name__ == "__main__":
    main()
