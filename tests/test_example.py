"""The README's example session, run against the virtual supply as users run it."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SESSION = Path(__file__).resolve().parents[1] / "examples" / "session.py"


@pytest.mark.skipif(shutil.which("qm4410-sim") is None, reason="qm4410-sim is not installed")
def test_session_against_the_virtual_supply():
    run = subprocess.run(
        ["qm4410-sim", "--load", "8", "--", sys.executable, str(SESSION)],
        capture_output=True, text=True, timeout=60,
    )
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    assert "connected to " in lines[1] and "'model': '4410'" in lines[1]
    assert not any(line.endswith("no reply") for line in lines)
    status = dict(line.split(None, 1) for line in lines[lines.index("status:") + 1:-1])
    # 5 V into 8 ohms would draw 0.625 A: the 0.5 A limit holds it at 4 V.
    assert status["out_mode"] == "CC"
    assert float(status["voltage_real"]) == pytest.approx(4.0)
    assert lines[-1] == "output off, local control, port closed"
