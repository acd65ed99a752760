"""What a type checker sees of the installed package, through its stub."""

import re
import subprocess
import sys
import textwrap
from pathlib import Path

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
    ('supply.set_ouput_mode("ON")', "incompatible type \"Literal['ON']\""),
    ('supply.set_work_mode(mode="pc")', "incompatible type \"Literal['pc']\""),
    ('supply.set_out_current("0.5")', 'incompatible type "str"'),
    ('supply._QM4410__addr = "1"', "Incompatible types in assignment"),
    ('supply.read_dev_status()["volts"]', 'has no key "volts"'),
    ("sweep(supply, voltage=(0, 12, 0.5), current=1.0)", 'Missing named argument "dwell"'),
    ('outcome.rows[0]["volts"]', 'has no key "volts"'),
]


def mypy(tmp_path, source):
    """mypy --strict on `source`, run from this folder: its cache is the one
    scripts/suite.sh's check of the package has just filled, so the package
    and the standard library are not analysed again."""
    path = tmp_path / "usage.py"
    path.write_text(source)
    run = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", str(path)], capture_output=True, text=True, cwd=Path(__file__).parent
    )
    return run.returncode, run.stdout


def test_a_typed_script_checks_clean_and_each_mistake_is_caught(tmp_path):
    """The script with every mistake appended, in one run of mypy (it takes
    seconds): errors on the mistakes' lines only, each saying what it should."""
    first_mistake = USAGE.count("\n") + 1
    code, report = mypy(tmp_path, USAGE + "".join(line + "\n" for line, _ in MISTAKES))
    errors = [(int(number), text) for number, text in re.findall(r"usage\.py:(\d+): error: (.*)", report)]
    assert code == 1 and errors, report
    assert [number for number, _ in errors if number < first_mistake] == [], report  # the script itself is clean
    for offset, (line, message) in enumerate(MISTAKES):
        assert any(number == first_mistake + offset and message in text for number, text in errors), (line, report)
