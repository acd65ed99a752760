"""monitor: samples on screen and in files, the plot, and leaving the output off."""

import contextlib
import csv
import fcntl
import json
import os
import re
import select
import signal
import struct
import subprocess
import sys
import termios
import time
from pathlib import Path

import pytest
from processes import children_of
from running import MISSING_DEPENDENCY, environment, program, start_cli, status_of

from qm4410 import Supply
from qm4410.cli import port

# The names of qm4410.Status's fields, as every door but the driver's own record has them.
FIELDS = [
    "timestamp",
    "elapsed_s",
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
HEADER = " elapsed_s  measured_voltage  measured_current      power  mode  output"


def flag(text):
    return text == "True"


# How a CSV cell reads back as the JSON Lines value; float for the others.
CSV_TYPES = {
    "timestamp": str,
    "mode": str,
    "fan_speed": int,
    "output": flag,
    "over_temperature": flag,
    "remote": flag,
    "answered": flag,
}


def first_sample(stream) -> list[str]:
    """The words of the monitor's first line of a sample, read once its
    header has come: sampling has started."""
    assert stream.readline().rstrip("\n") == HEADER
    return stream.readline().split()


def read_csv(path) -> list[dict]:
    """The rows as the JSON Lines file has them: empty cells are None."""
    with open(path, newline="") as stream:
        reader = csv.DictReader(stream)
        assert reader.fieldnames == FIELDS
        return [{key: CSV_TYPES.get(key, float)(text) if text else None for key, text in row.items()} for row in reader]


def read_jsonl(path) -> list[dict]:
    with open(path) as stream:
        return [json.loads(line) for line in stream]


@pytest.mark.parametrize("option, read", [("--csv", read_csv), ("--jsonl", read_jsonl)])
def test_samples_are_written_at_the_pace_asked(cli, powered_port, tmp_path, option, read):
    path = tmp_path / "samples"
    result = cli("monitor", "--port", powered_port, "--interval", "0.25", "--duration", "1", option, str(path))
    assert result.returncode == 0, result.stderr
    samples = read(path)
    assert len(samples) == 5  # at 0, 0.25, 0.5, 0.75 and 1 s
    assert [list(sample) for sample in samples] == [FIELDS] * 5
    assert [round(s["elapsed_s"] * 4) for s in samples] == [0, 1, 2, 3, 4]
    record = status_of(powered_port)
    for sample in samples:
        assert (sample["voltage"], sample["current_limit"], sample["output"], sample["remote"]) == (
            5.0,
            1.0,
            True,
            True,
        )
        assert sample["measured_voltage"] == record["voltage_real"]
        assert sample["power"] == pytest.approx(sample["measured_voltage"] * sample["measured_current"])
    # A header, then one live line per sample, the same numbers as the file.
    header, *lines = result.stdout.splitlines()
    assert header == HEADER and len(lines) == 5
    for sample, line in zip(samples, lines):
        assert line.split() == [
            f"{sample['elapsed_s']:.2f}",
            "s",
            f"{sample['measured_voltage']:.3f}",
            "V",
            f"{sample['measured_current']:.3f}",
            "A",
            f"{sample['power']:.3f}",
            "W",
            "CV",
            "on",
        ]


@pytest.mark.parametrize("size", [(1000, 750), (640, 480)])
def test_plot_is_a_png_of_the_size_asked(cli, powered_port, tmp_path, size):
    path = tmp_path / "run.png"
    result = cli(
        "monitor",
        "--port",
        powered_port,
        "--interval",
        "0.2",
        "--duration",
        "0.6",
        "--plot",
        str(path),
        "--plot-size",
        "{}x{}".format(*size),
    )
    assert result.returncode == 0, result.stderr
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    assert struct.unpack(">II", header[16:24]) == size


def test_plot_without_matplotlib_is_refused_before_sampling(cli, monkeypatch, silent_line, tmp_path):
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)  # as if it were not installed
    result = cli("monitor", "--port", silent_line.path, "--duration", "1", "--plot", str(tmp_path / "x.png"))
    assert result.returncode == MISSING_DEPENDENCY
    assert silent_line.received() == b""
    assert "pip install 'qm4410[plot]'" in result.stderr and "Traceback" not in result.stderr
    assert result.stdout == ""


@pytest.mark.parametrize(
    "endings, off_on_exit, output_after, status",
    [
        # Ended by a signal, the command says so as the shell would: 128 + its number.
        ([signal.SIGINT], True, "off", 130),
        ([signal.SIGTERM], True, "off", 143),
        ([signal.SIGHUP], True, "off", 129),  # the terminal closed, ssh dropped
        ([signal.SIGINT, signal.SIGINT], True, "off", 130),  # Ctrl-C pressed twice
        ([], True, "off", 0),  # the duration runs out
        ([signal.SIGINT], False, "on", 130),
    ],
)
def test_output_left_as_asked_however_monitoring_ends(powered_port, endings, off_on_exit, output_after, status):
    options = ["--off-on-exit"] if off_on_exit else []
    if not endings:
        options += ["--duration", "0.5"]
    monitor = start_cli("monitor", "--port", powered_port, "--interval", "0.1", *options)
    assert first_sample(monitor.stdout)[-1] == "on"
    for ending in endings:
        monitor.send_signal(ending)
    stdout, stderr = monitor.communicate(timeout=30)
    assert monitor.returncode == status, stderr
    assert "Traceback" not in stderr
    assert status_of(powered_port)["out_status"] == output_after


def stream_of_interrupts(processes: list[subprocess.Popen], seconds: float) -> None:
    """Ctrl-C held down: SIGINT to each process group, again and again."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline and any(process.poll() is None for process in processes):
        for process in processes:
            with contextlib.suppress(ProcessLookupError):
                os.killpg(process.pid, signal.SIGINT)
        time.sleep(0.001)


@pytest.mark.parametrize("interrupts", ["once", "held down"])
def test_interrupts_in_a_burst_still_switch_the_output_off(interrupts):
    # Under qm4410-sim every Ctrl-C reaches the command twice: from the
    # terminal and forwarded by the simulator. A signal handler that takes a
    # lock can then deadlock on itself, or an exception can cut the switch-off.
    # The race is tried on several runs, all at once.
    script = "qm4410 set --voltage 5 --output on >/dev/null && exec qm4410 monitor --interval 0.05 --off-on-exit"
    sims = [
        subprocess.Popen(
            [program("qm4410-sim"), "--", "sh", "-c", script],
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=environment(),
            start_new_session=True,
        )
        for _ in range(8 if interrupts == "once" else 3)
    ]
    try:
        for sim in sims:
            assert sim.stdout.readline().startswith("/")  # the port
            assert first_sample(sim.stdout)[-1] == "on"
        if interrupts == "once":
            for sim in sims:
                os.killpg(sim.pid, signal.SIGINT)
        else:
            stream_of_interrupts(sims, 0.5)
        for sim in sims:
            try:
                stdout, stderr = sim.communicate(timeout=10)
            except subprocess.TimeoutExpired:
                pytest.fail("monitor hung after the interrupts: " + str(sim.communicate()))
            assert sim.returncode == 130, stderr
            assert "output switched off" in stderr and "Traceback" not in stderr
    finally:
        for sim in sims:
            if sim.poll() is None:
                os.killpg(sim.pid, signal.SIGKILL)
                sim.communicate()


def gone(pid: int) -> bool:
    try:
        return Path(f"/proc/{pid}/stat").read_text().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


def test_the_simulator_does_not_outlive_a_killed_command():
    monitor = start_cli("monitor", "--sim", "--interval", "0.1")
    assert first_sample(monitor.stdout)
    [sim] = children_of(monitor.pid)
    monitor.kill()  # SIGKILL: no cleanup of its own runs
    monitor.wait(10)
    monitor.stdout.close()  # the simulator may hold stderr open: do not wait for it
    monitor.stderr.close()
    deadline = time.monotonic() + 5
    while not gone(sim) and time.monotonic() < deadline:
        time.sleep(0.05)
    if not gone(sim):
        os.kill(sim, signal.SIGKILL)
        pytest.fail(f"qm4410-sim (pid {sim}) outlived the command")


@pytest.mark.parametrize("first, then", [(signal.SIGHUP, signal.SIGTERM), (signal.SIGTERM, signal.SIGHUP)])
def test_later_signals_do_not_replace_the_first(powered_port, tmp_path, first, then):
    # The system going down after the terminal closed: the status says why
    # the run ended, whatever keeps arriving while it finishes (here while it
    # draws its plot).
    monitor = start_cli(
        "monitor", "--port", powered_port, "--interval", "0.1", "--off-on-exit", "--plot", str(tmp_path / "run.png")
    )
    assert first_sample(monitor.stdout)[-1] == "on"
    monitor.send_signal(first)
    # Signals that wait together are handled lowest number first: the next
    # go once the first has ended the sampling and the output is off (after
    # a warning that the supply answers slower than the interval, on a busy
    # machine).
    assert "output switched off\n" in iter(monitor.stderr.readline, "")
    deadline = time.monotonic() + 10
    while monitor.poll() is None and time.monotonic() < deadline:
        with contextlib.suppress(ProcessLookupError):
            monitor.send_signal(then)
        time.sleep(0.002)
    stdout, stderr = monitor.communicate(timeout=30)
    assert monitor.returncode == 128 + first, stderr
    assert status_of(powered_port)["out_status"] == "off"


def on_a_terminal(args, ignore_hang_up: bool) -> tuple[subprocess.Popen, int]:
    """The command run with a pseudo-terminal of its own as its controlling
    terminal and all three standard streams, as in a terminal window; the
    window's end of the terminal is returned for the test to close."""
    window, terminal = os.openpty()

    def take_the_terminal():
        fcntl.ioctl(0, termios.TIOCSCTTY, 0)
        if ignore_hang_up:  # as nohup starts it
            signal.signal(signal.SIGHUP, signal.SIG_IGN)

    command = subprocess.Popen(
        [program("qm4410"), *args],
        stdin=terminal,
        stdout=terminal,
        stderr=terminal,
        env=environment(),
        start_new_session=True,
        preexec_fn=take_the_terminal,
    )
    os.close(terminal)
    return command, window


def read_until(fd: int, text: bytes, within: float = 30) -> None:
    seen, deadline = b"", time.monotonic() + within
    while text not in seen and select.select([fd], [], [], max(0.0, deadline - time.monotonic()))[0]:
        seen += os.read(fd, 1024)
    assert text in seen, seen


@pytest.mark.parametrize("ignore_hang_up", [False, True])
def test_a_closed_terminal_costs_nothing_but_the_screen(powered_port, tmp_path, ignore_hang_up):
    # The window closed under an overnight run: the switch-off, the plot,
    # the log and the exit status are all still due. Under nohup the run
    # goes on after the hang-up, until it is told to stop.
    plot, log = tmp_path / "k.png", tmp_path / "k.csv"
    command, window = on_a_terminal(
        [
            "monitor",
            "--port",
            powered_port,
            "--interval",
            "0.1",
            "--off-on-exit",
            "--csv",
            str(log),
            "--plot",
            str(plot),
        ],
        ignore_hang_up,
    )
    read_until(window, b"CV  on")  # sampling has started, the output on
    os.close(window)  # the hang-up: every later write to the terminal fails
    if ignore_hang_up:
        time.sleep(0.3)  # samples after the hang-up, written to the terminal that is gone
        command.send_signal(signal.SIGTERM)
    assert command.wait(30) == (143 if ignore_hang_up else 129)
    assert status_of(powered_port)["out_status"] == "off"
    assert plot.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    rows = read_csv(log)
    assert rows and all(row["answered"] for row in rows)


@pytest.mark.parametrize("existing, counts", [("--append", [2, 4]), ("--overwrite", [2, 2])])
@pytest.mark.parametrize("option, read", [("--csv", read_csv), ("--jsonl", read_jsonl)])
def test_append_adds_to_the_log_under_one_header_and_overwrite_replaces_it(
    cli, powered_port, tmp_path, option, read, existing, counts
):
    path = tmp_path / "overnight"
    seen = []
    for _ in range(2):
        result = cli(
            "monitor", "--port", powered_port, "--interval", "0.2", "--duration", "0.2", option, str(path), existing
        )
        assert result.returncode == 0, result.stderr
        seen.append(len(read(path)))  # read_csv takes a second header for a row, and fails on it
    assert seen == counts


@pytest.mark.parametrize("option, read", [("--csv", read_csv), ("--jsonl", read_jsonl)])
def test_an_unanswered_sample_keeps_its_row(cli, qm4410_sim, tmp_path, option, read):
    path = tmp_path / "samples"
    port = qm4410_sim(drop_every=3)  # the identity, then every third request
    result = cli("monitor", "--port", port, "--interval", "0.4", "--duration", "1.2", option, str(path))
    assert result.returncode == 0, result.stderr
    samples = read(path)
    missed = [sample for sample in samples if not sample["answered"]]
    assert 0 < len(missed) < len(samples)
    measured = set(FIELDS) - {"timestamp", "elapsed_s", "answered"}
    assert all(sample[key] is None for sample in missed for key in measured)
    assert all(sample[key] is not None for sample in samples if sample["answered"] for key in measured)
    header, *lines = result.stdout.splitlines()
    assert header == HEADER and len(lines) == len(samples)
    assert sum(line.endswith("no answer from the supply") for line in lines) == len(missed)


@pytest.mark.parametrize(
    "sim_options, options, said",
    [
        # The identity is answered, the one sample is not: nothing to draw.
        (
            {"drop_every": 2},
            ["--interval", "1", "--duration", "0.5"],
            r"^qm4410: no plot: the supply answered none of the 1 sample$",
        ),
        # 52 bytes at 4800 baud take 0.11 s: the interval asked cannot be kept.
        (
            {"line_speed": 4800},
            ["--interval", "0.05", "--duration", "0.4"],
            r"^qm4410: warning: the supply takes \d\.\d{3} s to answer, longer than --interval 0\.05: "
            r"sampling every [\d.]+ s instead$",
        ),
    ],
)
def test_what_the_run_could_not_do_is_said_once(cli, qm4410_sim, tmp_path, sim_options, options, said):
    plot = tmp_path / "run.png"
    result = cli("monitor", "--port", qm4410_sim(**sim_options), *options, "--plot", str(plot))
    assert result.returncode == 0, result.stderr
    assert len(re.findall(said, result.stderr, re.M)) == 1, result.stderr
    assert plot.exists() == ("no plot" not in said)


def test_switching_off_is_confirmed_through_lost_replies(cli):
    # The samples at 0 and 0.5 s are requests 2 (lost) and 3; the switch-off
    # is request 4, whose reply is lost although the supply obeys: the
    # status read next (5) confirms it.
    result = cli("monitor", "--sim", "--drop-every", "2", "--interval", "0.5", "--duration", "0.5", "--off-on-exit")
    assert result.returncode == 0, result.stderr
    assert result.stderr.splitlines()[-1] == "output switched off"


class ScriptedSupply:
    """Answers the switch-off and the status reads with the replies given, in turn."""

    port = "/dev/ttyScripted"

    def __init__(self, *states):
        self.states = list(states)
        self.calls = []

    def set_ouput_mode(self, mode):
        self.calls.append(mode)
        return False

    def read_dev_status(self):
        self.calls.append("status")
        state = self.states.pop(0) if self.states else None
        if isinstance(state, Exception):
            raise state
        return (
            None
            if state is None
            else {
                "current_real": 0.0,
                "voltage_real": 0.0,
                "current_set": 1.0,
                "voltage_max_set": 30.0,
                "voltage_set": 5.0,
                "out_status": state,
                "beyond_temp": False,
                "out_mode": "XX",
                "fan_speed": 0,
                "work_mode": "remote",
            }
        )


@pytest.mark.parametrize(
    "states, left, calls",
    [
        (["off"], "off", ["off", "status"]),
        ([None, "off"], "off", ["off", "status", "status"]),  # ask the status again, not the switch
        (["on", "off"], "off", ["off", "status", "off", "status"]),  # the request was lost: send it again
        (["on"] * 9, "on", ["off", "status"] * 4),  # a bounded number of tries
        ([None] * 9, None, ["off"] + ["status"] * 7),
        ([OSError(5, "Input/output error")], None, ["off", "status"]),  # the line is gone: no use trying again
    ],
)
def test_switch_off_tells_the_state_the_supply_is_in(capsys, states, left, calls):
    supply = ScriptedSupply(*states)
    assert port.switch_off(Supply.from_driver(supply)) == left
    assert supply.calls == calls
    assert capsys.readouterr().err == ("output switched off\n" if left == "off" else "")
