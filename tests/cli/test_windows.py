"""The command where Windows lacks what POSIX has: no SIGHUP, no grp, COM
ports that are no files, no virtual supply. Emulated in a fresh interpreter
each, so nothing of it reaches the other tests."""

import pytest
from running import run_emulated


@pytest.mark.parametrize(
    "args, status, expected",
    [
        (["--help"], 0, "usage: qm4410"),
        (["ports"], 0, "{port}  n/a"),
        (["status", "--port", "{port}"], 0, "output            off"),
        (["set", "--port", "{port}", "--voltage", "2"], 0, "voltage           2.000 V"),
        (["status", "--port", "COM9"], 3, "there is no port COM9; the serial ports of this machine are: {ports}"),
        (["status", "--port", "{file}"], 14, "is not a COM port"),
        (["status", "--port", "{busy}"], 5, "{busy} is in use by another program; close it there first"),
        (["status", "--sim"], 15, "no virtual supply is available on Windows"),
    ],
)
def test_the_command_works_without_what_windows_lacks(qm4410_sim, tmp_path, args, status, expected):
    # The machine's ports are the two supplies' alone, listed in order.
    names = {"port": qm4410_sim(), "busy": qm4410_sim(), "file": str(tmp_path / "notes.txt")}
    names["ports"] = ", ".join(sorted([names["port"], names["busy"]]))
    (tmp_path / "notes.txt").write_text("not a port\n")
    result = run_emulated(
        *(arg.format(**names) for arg in args), ports=[names["port"], names["busy"]], windows=True, busy=[names["busy"]]
    )
    assert result.returncode == status, result.stderr
    # Runs of spaces as one: a table's columns are as wide as its longest port name.
    said = result.stdout if status == 0 else result.stderr
    assert " ".join(expected.format(**names).split()) in " ".join(said.split())
    assert "Traceback" not in result.stderr and "lsof" not in result.stderr
