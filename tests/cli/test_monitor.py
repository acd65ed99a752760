"""monitor: samples on screen and in files, the plot, and leaving the output off."""

import csv
import json
import signal
import struct

import pytest

from conftest import environment, run_cli, start_cli, status_of

FIELDS = [
    "timestamp", "elapsed_s", "voltage_real", "current_real", "power_w", "voltage_set",
    "current_set", "voltage_max_set", "out_status", "out_mode", "beyond_temp", "fan_speed", "work_mode",
]


def read_csv(path) -> list[dict]:
    with open(path, newline="") as stream:
        reader = csv.DictReader(stream)
        assert reader.fieldnames == FIELDS
        return [
            {**row, **{key: float(row[key]) for key in FIELDS[1:8]}, "beyond_temp": row["beyond_temp"] == "True",
             "fan_speed": int(row["fan_speed"])}
            for row in reader
        ]


def read_jsonl(path) -> list[dict]:
    with open(path) as stream:
        return [json.loads(line) for line in stream]


@pytest.mark.parametrize("option, read", [("--csv", read_csv), ("--jsonl", read_jsonl)])
def test_samples_are_written_at_the_pace_asked(powered_port, tmp_path, option, read):
    path = tmp_path / "samples"
    result = run_cli("monitor", "--port", powered_port, "--interval", "0.25", "--duration", "1", option, str(path))
    assert result.returncode == 0, result.stderr
    samples = read(path)
    assert len(samples) == 5  # at 0, 0.25, 0.5, 0.75 and 1 s
    assert [list(sample) for sample in samples] == [FIELDS] * 5
    assert [round(s["elapsed_s"] * 4) for s in samples] == [0, 1, 2, 3, 4]
    record = status_of(powered_port)
    for sample in samples:
        assert (sample["voltage_set"], sample["current_set"], sample["out_status"]) == (5.0, 1.0, "on")
        assert sample["voltage_real"] == record["voltage_real"]
        assert sample["power_w"] == pytest.approx(sample["voltage_real"] * sample["current_real"])
    # One live line per sample, the same numbers as the file.
    lines = result.stdout.splitlines()
    assert len(lines) == 5
    assert all(f"{s['voltage_real']:8.3f} V" in line for s, line in zip(samples, lines))


@pytest.mark.parametrize("size", [(1000, 750), (640, 480)])
def test_plot_is_a_png_of_the_size_asked(powered_port, tmp_path, size):
    path = tmp_path / "run.png"
    result = run_cli(
        "monitor", "--port", powered_port, "--interval", "0.2", "--duration", "0.6",
        "--plot", str(path), "--plot-size", "{}x{}".format(*size),
    )
    assert result.returncode == 0, result.stderr
    header = path.read_bytes()[:24]
    assert header[:8] == b"\x89PNG\r\n\x1a\n" and header[12:16] == b"IHDR"
    assert struct.unpack(">II", header[16:24]) == size


def test_plot_without_matplotlib_is_refused_before_sampling(sim_port, tmp_path):
    broken = tmp_path / "matplotlib"
    broken.mkdir()
    (broken / "__init__.py").write_text("raise ImportError('matplotlib is not installed')\n")
    result = run_cli(
        "monitor", "--port", sim_port, "--duration", "1", "--plot", str(tmp_path / "x.png"),
        env=environment(PYTHONPATH=str(tmp_path)),
    )
    assert result.returncode == 12
    assert "pip install 'qm4410[plot]'" in result.stderr and "Traceback" not in result.stderr
    assert result.stdout == ""


@pytest.mark.parametrize(
    "ending, off_on_exit, output_after",
    [
        (signal.SIGINT, True, "off"),
        (signal.SIGTERM, True, "off"),
        (None, True, "off"),  # the duration runs out
        (signal.SIGINT, False, "on"),
    ],
)
def test_output_left_as_asked_however_monitoring_ends(powered_port, ending, off_on_exit, output_after):
    options = ["--off-on-exit"] if off_on_exit else []
    if ending is None:
        options += ["--duration", "0.5"]
    monitor = start_cli("monitor", "--port", powered_port, "--interval", "0.1", *options)
    assert "output on" in monitor.stdout.readline()  # sampling has started
    if ending is not None:
        monitor.send_signal(ending)
    stdout, stderr = monitor.communicate(timeout=30)
    assert monitor.returncode == 0, stderr
    assert "Traceback" not in stderr
    assert status_of(powered_port)["out_status"] == output_after
