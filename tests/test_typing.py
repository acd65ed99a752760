"""What a type checker sees of the installed package, through its stub."""
import subprocess
import sys
import textwrap

import pytest

pytest.importorskip("mypy")

USAGE = textwrap.dedent("""
    from typing import TYPE_CHECKING
    import qm4410
    if TYPE_CHECKING:
        from qm4410 import StatusRecord

    supply = qm4410.QM4410("/dev/ttyUSB0")
    status: "StatusRecord | None" = supply.read_dev_status()
    if status is not None:
        volts: float = status["voltage_real"]
        mode: str = status["out_mode"]
    supply.set_out_voltage(5)
    supply._QM4410__addr = 1
    frame = list(qm4410.QM4410._QM4410__CMD_TEMPLATE)
    reply: bytes | None = supply._QM4410__write_and_read(frame)
    model: str = supply.show_device_version()["model"]

    from qm4410.workflows import Span, sweep
    outcome = sweep(supply, voltage=Span(0, 12, 0.5), current=1.0, dwell=0.1)
    amps: float | None = outcome.rows[-1]["current_real"]
""")

MISTAKES = [
    ('supply.set_ouput_mode("ON")', 'incompatible type "Literal[\'ON\']"'),
    ('supply.set_work_mode(mode="pc")', 'incompatible type "Literal[\'pc\']"'),
    ('supply.set_out_current("0.5")', 'incompatible type "str"'),
    ('supply._QM4410__addr = "1"', 'Incompatible types in assignment'),
    ('supply.read_dev_status()["volts"]', 'has no key "volts"'),
    ('sweep(supply, voltage=(0, 12, 0.5), current=1.0)', 'Missing named argument "dwell"'),
    ('outcome.rows[0]["volts"]', 'has no key "volts"'),
]


def mypy(tmp_path, source):
    path = tmp_path / "usage.py"
    path.write_text(source)
    run = subprocess.run([sys.executable, "-m", "mypy", "--no-incremental", "--strict-optional", str(path)],
                         capture_output=True, text=True, cwd=tmp_path)
    return run.returncode, run.stdout


def test_typed_usage_checks_clean(tmp_path):
    code, report = mypy(tmp_path, USAGE)
    assert code == 0, report


def test_mistakes_are_caught(tmp_path):
    source = USAGE + "\n".join(line for line, _ in MISTAKES) + "\n"
    code, report = mypy(tmp_path, source)
    assert code == 1
    for line, message in MISTAKES:
        assert message in report, (line, report)
