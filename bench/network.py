"""A supply on the network: read_dev_status through ser2net (RFC 2217 on
loopback) against the same command on a pseudo-terminal, in the same run,
and what open() and close() cost through RFC 2217 next to pyserial's own
open and close of the same URL.

    python bench/network.py [--quick] [--out bench/network.json]

Needs ser2net on PATH (Debian: apt-get install ser2net; it lives in
/usr/sbin), besides what bench/run.py needs. Prints a table and a summary.
"""

import contextlib
import shutil
import socket
import statistics
import subprocess
import tempfile
import time
from pathlib import Path

import serial
from driver_cost import quiet_stdout
from latency import Timings, command_answered, refuse_unanswered
from report import mark, run_benchmark, table
from simulator import connected_driver, virtual_supplies
from threads import READ_STATUS

import qm4410

LATENCY_TARGET_PCT = 5.0
SER2NET_CONFIGURATION = """\
connection: &supply
  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}
  connector: serialdev,{device},4800n81,local
"""


def plan(quick: bool) -> dict:
    return {"status_rounds": 20 if quick else 200, "open_close_cycles": 3 if quick else 10}


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def ser2net_serving(device: str):
    """ser2net serving `device` on a free loopback port; yields the URL."""
    program = shutil.which("ser2net")
    if not program:
        raise SystemExit("ser2net not found: install it (apt-get install ser2net) and put /usr/sbin on PATH")
    port = free_port()
    with tempfile.TemporaryDirectory() as directory:
        configuration = Path(directory, "ser2net.yaml")
        configuration.write_text(SER2NET_CONFIGURATION.format(port=port, device=device))
        process = subprocess.Popen(
            [program, "-n", "-c", str(configuration)], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL
        )
        try:
            yield f"rfc2217://127.0.0.1:{port}?ign_set_control", process
        finally:
            process.terminate()
            process.wait()


def first_open(url: str, ser2net: subprocess.Popen) -> qm4410.QM4410:
    """A driver opened on `url`; refused until ser2net listens."""
    driver = qm4410.QM4410(url)
    deadline = time.monotonic() + 10
    with quiet_stdout():
        while not driver.open():
            if ser2net.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"ser2net did not serve {url}")
            time.sleep(0.05)
    return driver


def status_latency(direct: qm4410.QM4410, remote: qm4410.QM4410, rounds: int) -> dict:
    """Medians of read_dev_status on each, in interleaved rounds so that both
    see the same machine."""
    timings = {name: Timings(command_answered(READ_STATUS)) for name in ("pty", "ser2net")}
    calls = {"pty": direct.read_dev_status, "ser2net": remote.read_dev_status}
    for _ in range(rounds):
        for name, call in calls.items():
            timings[name].time(call)
    row = {f"{name}_ms": timing.median_wall_ms() for name, timing in timings.items()}
    row.update((f"{name}_unanswered", timing.unanswered) for name, timing in timings.items())
    row["over_pct"] = (row["ser2net_ms"] - row["pty_ms"]) / row["pty_ms"] * 100
    refuse_unanswered([{"command": READ_STATUS.name, **row}], "read_dev_status through ser2net")
    return row


def open_close(url: str, cycles: int) -> dict:
    """Median times of the driver's open() and close() on `url`, and of
    pyserial's serial_for_url and close with the same settings, alternating."""
    times = {key: [] for key in ("driver_open", "driver_close", "pyserial_open", "pyserial_close")}
    for _ in range(cycles):
        driver = qm4410.QM4410(url)
        start = time.perf_counter()
        if not driver.open():
            raise RuntimeError(f"the driver could not open {url}")
        times["driver_open"].append(time.perf_counter() - start)
        start = time.perf_counter()
        driver.close()
        times["driver_close"].append(time.perf_counter() - start)

        start = time.perf_counter()
        port = serial.serial_for_url(url, 4800, 8, "N", timeout=50, stopbits=1)
        times["pyserial_open"].append(time.perf_counter() - start)
        start = time.perf_counter()
        port.close()
        times["pyserial_close"].append(time.perf_counter() - start)
    return {f"{key}_ms": statistics.median(values) * 1e3 for key, values in times.items()}


def measure(quick: bool) -> dict:
    steps = plan(quick)
    # A supply each: the line of one is never shared with the other.
    with virtual_supplies(2) as (direct_port, served_port), ser2net_serving(served_port) as (url, ser2net):
        with connected_driver(direct_port) as direct:
            remote = first_open(url, ser2net)
            try:
                status = status_latency(direct, remote, steps["status_rounds"])
            finally:
                remote.close()
        opening = open_close(url, steps["open_close_cycles"])
    return {"meta": {"quick": quick, **steps, "statistic": "median"}, "status": status, "open_close": opening}


def judge(results: dict) -> dict:
    return {"status_within_5_pct": results["status"]["over_pct"] <= LATENCY_TARGET_PCT}


def report(results: dict, verdicts: dict) -> str:
    status, opening = results["status"], results["open_close"]
    latency = table(
        ["command", "pty ms", "ser2net ms", "over pty %", f"<= {LATENCY_TARGET_PCT:g} %"],
        [
            [
                "read_dev_status",
                f"{status['pty_ms']:.3f}",
                f"{status['ser2net_ms']:.3f}",
                f"{status['over_pct']:.2f}",
                mark(verdicts["status_within_5_pct"]),
            ]
        ],
    )
    costs = table(
        ["step", "qm4410 ms", "pyserial ms", "the driver adds ms"],
        [
            [
                step,
                f"{opening[f'driver_{step}_ms']:.1f}",
                f"{opening[f'pyserial_{step}_ms']:.1f}",
                f"{opening[f'driver_{step}_ms'] - opening[f'pyserial_{step}_ms']:.1f}",
            ]
            for step in ("open", "close")
        ],
    )
    return (
        f"## read_dev_status, medians of {results['meta']['status_rounds']} interleaved rounds\n\n{latency}\n\n"
        f"## open and close through RFC 2217, medians of {results['meta']['open_close_cycles']} cycles\n\n{costs}"
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "fewer rounds (about 10 s)", "bench/network.json", measure, judge, report)
