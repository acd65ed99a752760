"""The README's example session, run against the virtual supply."""

import subprocess
import sys
from pathlib import Path

import pytest

SESSION = Path(__file__).resolve().parents[1] / "examples" / "session.py"


def test_session_against_the_virtual_supply(qm4410_sim):
    run = subprocess.run([sys.executable, str(SESSION), qm4410_sim(load=8)], capture_output=True, text=True, timeout=60)
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "connected to " in lines[0] and "'model': '4410'" in lines[0]
    assert not any(line.endswith("no reply") for line in lines)
    status = dict(line.split(None, 1) for line in lines[lines.index("status:") + 1 : -1])
    # 5 V into 8 ohms would draw 0.625 A: the 0.5 A limit holds it at 4 V.
    assert status["out_mode"] == "CC"
    assert float(status["voltage_real"]) == pytest.approx(4.0)
    assert lines[-1] == "output off, local control, port closed"
