"""sweep, ramp and run: rows on screen and in files as they come, the output
as asked however they end, and nothing sent for a command line or profile
that cannot run."""

import csv
import json
import os
import pty
import re
import signal
import subprocess

import pytest
from fakes import FakeClock
from running import FILE_ERROR, LOG_EXISTS, NO_ANSWER, USAGE, environment, program, start_cli, status_of
from sim.peer_supply import PeerSupply

from qm4410 import Supply
from qm4410.supply import switch_off
from qm4410.workflows import schedule

FIELDS = [
    "timestamp",
    "elapsed_s",
    "cycle",
    "step",
    "asked_voltage",
    "asked_current",
    "measured_voltage",
    "measured_current",
    "power",
    "voltage",
    "current_limit",
    "max_voltage",
    "output",
    "mode",
    "over_temperature",
    "fan_speed",
    "remote",
    "answered",
]
# The monitor's, before them what the workflow had asked.
HEADER = "step  asked_voltage  asked_current   elapsed_s  measured_voltage  measured_current      power  mode  output"
PROFILE = "duration,voltage,current,output\n0.4,4.2,1.0,on\n0.3,,0.2,\n0.2,,,off\n"


def read_jsonl(path) -> list[dict]:
    with open(path) as stream:
        return [json.loads(line) for line in stream]


def on_screen(line: str) -> dict:
    """A line of rows on screen, by the names of the header above it: each
    value with its unit."""
    return dict(zip(HEADER.split(), re.findall(r"\S+ [VAWs](?!\S)|\S+", line), strict=True))


def read_csv(path) -> list[dict]:
    with open(path, newline="") as stream:
        reader = csv.DictReader(stream)
        assert reader.fieldnames == FIELDS
        return list(reader)


@pytest.mark.parametrize("both_ways, leave_on", [(False, False), (True, True)])
def test_sweep_records_each_step_and_leaves_the_output_as_asked(cli, qm4410_port, tmp_path, both_ways, leave_on):
    log, picture = tmp_path / "iv.jsonl", tmp_path / "iv.svg"
    extra = ["--both-ways"] * both_ways + ["--leave-on"] * leave_on
    result = cli(
        "sweep",
        "--port",
        qm4410_port,
        "--voltage",
        "0:2:0.5",
        "--current",
        "1",
        "--dwell",
        "0",
        "--jsonl",
        str(log),
        "--plot",
        str(picture),
        *extra,
    )
    assert result.returncode == 0, result.stderr
    swept = [0.0, 0.5, 1.0, 1.5, 2.0] + ([1.5, 1.0, 0.5, 0.0] if both_ways else [])
    rows = read_jsonl(log)
    assert [row["asked_voltage"] for row in rows] == [row["voltage"] for row in rows] == swept
    assert [row["step"] for row in rows] == list(range(1, len(swept) + 1))
    assert all(row["output"] is True and row["remote"] is True and row["answered"] for row in rows)
    header, *lines = result.stdout.splitlines()
    assert header == HEADER and len(lines) == len(swept)
    assert [on_screen(line)["measured_voltage"] for line in lines] == [
        f"{row['measured_voltage']:.3f} V" for row in rows
    ]
    assert picture.read_text().lstrip().startswith("<?xml")  # the format of the extension
    assert status_of(qm4410_port)["out_status"] == ("on" if leave_on else "off")


@pytest.mark.parametrize(
    "condition, said",
    [
        (["--stop-power", "2"], "the measured power 2.250 W reached the stop power 2 W at voltage 3.000 V"),
        (["--stop-current", "0.5"], "the measured current 0.500 A reached the stop current 0.500 A at voltage 2.000 V"),
    ],
)
def test_a_stop_condition_ends_the_sweep_with_the_output_off(cli, qm4410_sim, condition, said):
    port = qm4410_sim(load=4)
    result = cli(
        "sweep", "--port", port, "--voltage", "0:10:1", "--current", "5", "--dwell", "0", "--leave-on", *condition
    )
    assert result.returncode == 0, result.stderr
    assert said in result.stderr and "output switched off" in result.stderr
    assert status_of(port)["out_status"] == "off"  # whatever --leave-on says


@pytest.mark.parametrize(
    "argv, status, said",
    [
        (["run", "{bad.csv}"], USAGE, "bad.csv:3:1: the duration must not be negative"),
        (["run", "{bad.csv}"], USAGE, "bad.csv:5:4: the output is 'on' or 'off'"),
        (["run", "{good.csv}", "--repeat", "400000"], USAGE, "more than 1000000 steps"),
        (["run", "{good.txt}"], USAGE, "a profile is a .csv or a .toml file"),
        (["run", "{none.csv}"], FILE_ERROR, "cannot read the profile .*none.csv: No such file"),
        (
            ["run", "{good.csv}", "--csv", "{monitor.csv}", "--append"],
            FILE_ERROR,
            "its columns are not those of sweep, ramp and run: it lacks cycle, step, asked_voltage, asked_current",
        ),
        # A log of the driver's names for the status, as an older qm4410 wrote it.
        (
            ["ramp", "--to", "1", "--rate", "1", "--csv", "{old.csv}", "--append"],
            FILE_ERROR,
            "its columns are not those of sweep, ramp and run: it has voltage_real, out_status; it lacks "
            "measured_voltage, .*, remote",
        ),
        (["run", "{good.csv}", "--jsonl", "{monitor.jsonl}", "--append"], FILE_ERROR, "it lacks cycle, step"),
        (["sweep", "--voltage", "0:1:1", "--current", "1", "--csv", "{good.csv}"], LOG_EXISTS, "is there already"),
        (["run", "{good.csv}", "--jsonl", "{cut.jsonl}", "--append"], FILE_ERROR, "its last row is cut short"),
    ],
)
def test_what_cannot_run_is_refused_before_the_port_is_touched(cli, tmp_path, argv, status, said):
    files = {
        "bad.csv": PROFILE.replace("0.3,", "-1,") + "1,,,maybe\n",
        "good.csv": PROFILE,
        "good.txt": PROFILE,
        "monitor.csv": "timestamp,elapsed_s,measured_voltage\n",
        "monitor.jsonl": '{"timestamp": "", "elapsed_s": 0.0, "measured_voltage": 1.0}\n',
        "old.csv": "timestamp,elapsed_s,cycle,step,asked_voltage,asked_current,voltage_real,out_status\n",
        "cut.jsonl": '{"step": 1}\n{"st',
    }
    for name, text in files.items():
        (tmp_path / name).write_text(text)
    argv = [str(tmp_path / word[1:-1]) if word.startswith("{") else word for word in argv]
    # Had it looked for the port, it would have failed for its absence.
    result = cli(*argv, "--port", str(tmp_path / "no-such-port"))
    assert (result.returncode, result.stdout) == (status, ""), result.stderr
    assert re.search(said, result.stderr)


def test_a_profile_runs_to_its_plan_and_repeats(cli, qm4410_port, tmp_path, monkeypatch):
    # Its 1.8 s pass on a clock of the test's own: what counts is the order
    # of the steps and what each sent and read, not how long they took.
    monkeypatch.setattr(schedule, "time", FakeClock())
    profile, log = tmp_path / "p.csv", tmp_path / "p.csv.log"
    profile.write_text(PROFILE)
    plan = cli("run", str(profile), "--repeat", "2", "--dry-run")  # no port needed to plan
    assert plan.returncode == 0, plan.stderr
    assert plan.stdout.splitlines()[-1] == "6 steps, 1.8 s in all"
    assert plan.stdout.split()[8:16] == ["1", "1", "2", "0", "s", "0.4", "s", "4.200"]

    result = cli("run", "--port", qm4410_port, str(profile), "--repeat", "2", "--interval", "0.1", "--csv", str(log))
    assert result.returncode == 0, result.stderr
    steps: dict[tuple[str, str], list[dict]] = {}
    for row in read_csv(log):
        steps.setdefault((row["cycle"], row["step"]), []).append(row)
    assert list(steps) == [(cycle, step) for cycle in "12" for step in "123"]
    assert all(len(rows) > 1 for rows in steps.values())  # read at the start and within each step
    # An empty cell keeps the step before's value.
    shown = {
        key: {(row["asked_voltage"], row["asked_current"], row["output"]) for row in rows}
        for key, rows in steps.items()
    }
    assert [shown["2", step] for step in "123"] == [
        {("4.2", "1.0", "True")},
        {("4.2", "0.2", "True")},
        {("4.2", "0.2", "False")},
    ]
    assert status_of(qm4410_port)["out_status"] == "off"


@pytest.mark.parametrize(
    "argv, sig, output_after",
    [
        (["ramp", "--to", "0", "--rate", "1"], signal.SIGINT, "on"),  # stops where it is
        (["ramp", "--to", "0", "--rate", "1", "--off-on-exit"], signal.SIGINT, "off"),
        (["run", "{profile}", "--repeat", "20"], signal.SIGTERM, "off"),
    ],
)
def test_a_signal_ends_the_run_between_two_exchanges(powered_port, tmp_path, argv, sig, output_after):
    (tmp_path / "profile.csv").write_text(PROFILE)
    log = tmp_path / "rows.csv"
    argv = [str(tmp_path / "profile.csv") if word == "{profile}" else word for word in argv]
    command = start_cli(*argv, "--port", powered_port, "--csv", str(log))
    assert command.stdout.readline().split()[0] in ("step", "cycle")  # the header
    for _ in range(2):  # the reading it starts from, and a step: under way
        assert command.stdout.readline().split()[0].isdigit()
    command.send_signal(sig)
    _, stderr = command.communicate(timeout=30)
    assert command.returncode == 128 + sig, stderr
    assert "asked to stop" in stderr
    rows = read_csv(log)
    record = status_of(powered_port)
    assert record["out_status"] == output_after
    if argv[0] == "ramp":  # from 5 V toward 0 V, left on the way
        assert 0 < record["voltage_set"] < 5 and float(rows[-1]["asked_voltage"]) == record["voltage_set"]


def test_a_supply_that_falls_silent_ends_with_no_answer_and_its_rows_kept(cli, monkeypatch, tmp_path):
    # The identity, remote control and 7 more answered, the last of them the
    # third step's setting; then the switch-off is tried, here for 0.5 s.
    monkeypatch.setattr(switch_off, "SWITCH_OFF_WITHIN_S", 0.5)
    peer = PeerSupply(echo=True, latency=0.005, fault="silent", every=10)
    peer.start()
    try:
        result = cli(
            "sweep",
            "--voltage",
            "0:5:1",
            "--current",
            "1",
            "--dwell",
            "0",
            "--port",
            peer.port,
            "--csv",
            str(tmp_path / "rows.csv"),
        )
    finally:
        peer.stop()
    assert result.returncode == NO_ANSWER, result.stderr
    assert "stopped answering" in result.stderr and "rows.csv" in result.stderr
    answered = [row["answered"] for row in read_csv(tmp_path / "rows.csv")]
    assert "True" in answered and answered[-1] == "False"


@pytest.mark.parametrize("on_a_terminal", [True, False])
def test_progress_is_shown_on_a_terminal_only(qm4410_port, tmp_path, on_a_terminal):
    (tmp_path / "profile.csv").write_text(PROFILE)
    window, terminal = pty.openpty() if on_a_terminal else os.pipe()
    command = subprocess.Popen(
        [program("qm4410"), "run", "--port", qm4410_port, str(tmp_path / "profile.csv")],
        stdout=subprocess.PIPE,
        stderr=terminal,
        env=environment(),
    )
    os.close(terminal)
    stdout, _ = command.communicate(timeout=30)
    seen = b""
    while chunk := _read(window):
        seen += chunk
    os.close(window)
    assert command.returncode == 0, seen
    assert (b"\r\x1b[Kstep 3 of 3, 1 s left" in seen) == on_a_terminal, seen
    assert len(stdout.splitlines()) == 1 + 3  # the header and the rows alone, wherever the progress goes


def _read(fd: int) -> bytes:
    try:
        return os.read(fd, 4096)
    except OSError:  # a terminal whose other end has closed
        return b""


@pytest.mark.parametrize(
    "argv",
    [
        ["sweep", "--voltage", "1", "--current", "0:0.2:0.1", "--dwell", "0"],
        ["ramp", "--to", "0.01", "--rate", "1"],
        ["run", "{profile}"],
    ],
)
def test_a_workflow_takes_remote_control_first_and_says_so(cli, qm4410_port, tmp_path, argv):
    (tmp_path / "profile.csv").write_text("duration,voltage,current,output\n0,1,,\n")
    argv = [str(tmp_path / "profile.csv") if word == "{profile}" else word for word in argv]
    assert status_of(qm4410_port)["work_mode"] == "local"
    assert cli(*argv, "--port", qm4410_port).returncode == 0
    assert status_of(qm4410_port)["work_mode"] == "remote"
    assert "remote control of the supply before its first setting" in " ".join(cli(argv[0], "--help").stdout.split())


@pytest.mark.parametrize("output, measured", [("on", 4.0), ("off", 0.0), (None, 0.0)])
def test_a_ramp_switches_the_output_as_asked_before_ramping(cli, qm4410_sim, output, measured):
    port = qm4410_sim(load=8)
    with Supply(port) as supply:
        supply.voltage = 3.99
    result = cli(
        "ramp", "--port", port, "--to", "4", "--rate", "1", "--current", "1", *(["--output", output] if output else [])
    )
    assert result.returncode == 0, result.stderr
    # The reading the ramp starts from sees the output already as asked.
    _, first, *_, last = result.stdout.splitlines()
    assert (
        on_screen(first)["output"] == (output or "off") and on_screen(last)["measured_voltage"] == f"{measured:.3f} V"
    )
