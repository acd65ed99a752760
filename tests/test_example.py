"""The README's example session, run against the virtual supply: on a port
given, and on one of its own, as the quick start runs it."""

import os
import subprocess
import sys
from pathlib import Path

import pytest

SESSION = Path(__file__).resolve().parents[1] / "examples" / "session.py"


@pytest.mark.parametrize("given", [True, False], ids=["port given", "virtual supply of its own"])
def test_session_against_the_virtual_supply(qm4410_sim, given):
    environment = {name: value for name, value in os.environ.items() if name != "QM4410_PORT"}
    port = [qm4410_sim(load=8)] if given else []
    run = subprocess.run(
        [sys.executable, str(SESSION), *port], capture_output=True, text=True, timeout=60, env=environment
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert lines[0].startswith("connected to ") and lines[0].endswith(": model 4410, serial number 000000001")
    # Only the session's own lines: none the driver prints of its replies.
    assert not any("read:[" in line or line.endswith("no reply") for line in lines), lines
    status = dict(line.split(None, 1) for line in lines[lines.index("status:") + 1 : -1])
    # 5 V into 8 ohms would draw 0.625 A: the 0.5 A limit holds it at 4 V.
    assert status["out_mode"] == "CC"
    assert float(status["voltage_real"]) == pytest.approx(4.0)
    assert lines[-1] == "output off, local control, port closed"
