"""The examples of the pages in docs/, run as they are written there against
the virtual supplies they start."""

import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

DOCS = Path(__file__).resolve().parents[1] / "docs"


def example_of(page: str) -> str:
    """The first Python block under the page's "## Example" heading."""
    text = (DOCS / page).read_text()
    section = text.split("\n## Example\n", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.DOTALL).group(1)


def run(page, tmp_path):
    script = tmp_path / "example.py"
    script.write_text(example_of(page))
    ran = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, timeout=120, cwd=tmp_path)
    assert ran.returncode == 0, ran.stderr
    return ran.stdout.splitlines()


def test_the_asyncio_page_s_example(tmp_path):
    lines = run("asyncio.md", tmp_path)
    assert lines[0] == "connected to 4410 000000001"
    assert "arrived at 4.0 V" in lines
    stopped = next(line for line in lines if line.startswith("stopped on the way, at "))
    assert 4.0 < float(stopped.split()[-2]) < 12.0
    assert lines[-2:] == [
        "refused: the voltage 15.0 V is outside the range the guard allows, 0 to 12.000 V",
        "output off",
    ]


@pytest.mark.skipif(
    importlib.util.find_spec("ophyd_async") is None,
    reason="the bluesky extra is not installed: pip install 'qm4410[bluesky]'",
)
def test_the_bluesky_page_s_example(tmp_path):
    lines = run("bluesky.md", tmp_path)
    rows = [[cell.strip() for cell in line.split("|")[3:7]] for line in lines if re.match(r"\|\s+\d+ \|", line)]
    # The scan's seven points, then the count's three at the last of them.
    assert rows == [
        [
            f"{volts:.3f}",
            f"{min(volts, 4):.3f}",
            f"{min(volts / 8, 0.5):.3f}",
            f"{min(volts, 4) * min(volts / 8, 0.5):.3f}",
        ]
        for volts in [0, 1, 2, 3, 4, 5, 6, 6, 6, 6]
    ]
    assert re.fullmatch(r"set to 2 V, settled after \d+\.\d{3} s", lines[-1])


@pytest.mark.skipif(
    importlib.util.find_spec("qcodes") is None, reason="the qcodes extra is not installed: pip install 'qm4410[qcodes]'"
)
def test_the_qcodes_page_s_example(tmp_path):
    lines = run("qcodes.md", tmp_path)
    rows = [line.split() for line in lines if re.match(r"\d\.0 ", line)]
    # The voltage set, then the current, voltage and mode measured.
    assert rows == [
        [f"{volts:.1f}", f"{min(volts / 8, 0.5):.3f}", f"{min(volts, 4):.1f}", mode]
        for volts, mode in zip(range(7), ["CV"] * 5 + ["CC"] * 2)
    ]
    assert lines[-2:] == [
        "refused: the voltage 15 V is outside the range the guard allows, 0 to 12.000 V; Parameter: psu.voltage",
        "output off",
    ]
    assert (tmp_path / "supply.db").exists()


@pytest.mark.skipif(
    importlib.util.find_spec("openhtf") is None,
    reason="the openhtf extra is not installed: pip install 'qm4410[openhtf]'",
)
def test_the_openhtf_page_s_example(tmp_path):
    assert run("openhtf.md", tmp_path)[-2:] == ["outcome: ERROR", "output off"]


@pytest.mark.skipif(
    importlib.util.find_spec("pymeasure") is None,
    reason="the pymeasure extra is not installed: pip install 'qm4410[pymeasure]'",
)
def test_the_pymeasure_page_s_example(tmp_path):
    assert run("pymeasure.md", tmp_path) == [
        "QM4410,4410,000000001,102",
        "3.300 V, 0.330 A",
        "refused: the voltage 15.0 V is outside the range the guard allows, 0 to 12.000 V",
        "output off",
    ]
