"""VISA's discovery finds the HiSLIP door that `--mdns` advertises. mDNS is
multicast: the server and pyvisa-py run in a network namespace of their
own (lxi_discovery.py, under `unshare -n`), whose loopback alone carries
it, so nothing leaves the machine and no other test's server is seen."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("zeroconf", reason="the lxi extra is not installed: pip install 'qm4410[lxi]'")

HELPER = Path(__file__).with_name("lxi_discovery.py")


def test_list_resources_finds_the_advertised_hislip_instrument():
    if subprocess.run(["unshare", "-n", "true"], capture_output=True).returncode != 0:
        pytest.skip("no network namespace can be made here (unshare -n needs root or user namespaces)")
    done = subprocess.run(["unshare", "-n", sys.executable, str(HELPER)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    found = json.loads(done.stdout)
    hislip, vxi11 = found["served"]
    assert hislip == "TCPIP::127.0.0.1::hislip0,4880::INSTR" and vxi11 == "TCPIP::127.0.0.1::inst0::INSTR"
    assert hislip in found["found"], done.stderr
    assert found["identity"] == "QM4410,4410,000000001,102"
