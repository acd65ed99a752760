"""The EPICS endpoint of `qm4410 serve`: how soon a change in the supply
reaches a monitoring client, and how many puts a second Channel Access
carries against SCPI on the same supply.

    python bench/channel_access.py [--quick] [--out bench/channel_access.json]

Monitor latency: a pyepics client monitors CURR_MEAS of a virtual supply
(1 V, output on) whose load is switched between 10 and 5 ohms through
qm4410-sim's --control pipe, each change at a random moment of the guard's
reading interval; measured is the time from the change written to the
monitor event with the new current. Target: within one status interval
(the guard's 0.1 s) plus 5 ms, at worst.

Puts a second: VOLT_SP put by pyepics with wait=True (answered once the
supply has answered), back to back, against SCPI's `VOLT v;*OPC?` on a raw
socket, back to back, on the same server and supply.

Runs the server as a process on loopback, with the EPICS address lists
pinned to 127.0.0.1 on ports of its own and a CA repeater of its own.
Needs qm4410-sim, caproto and pyepics. Prints a table, writes JSON.
"""

import argparse
import json
import os
import random
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

INTERVAL_S = 0.1  # the guard's
TARGET_S = INTERVAL_S + 0.005
PREFIX = "BENCH:PSU:"


def free_port() -> int:
    while True:
        with socket.socket() as tcp:
            tcp.bind(("127.0.0.1", 0))
            port = tcp.getsockname()[1]
            with socket.socket(type=socket.SOCK_DGRAM) as udp:
                try:
                    udp.bind(("127.0.0.1", port))
                except OSError:
                    continue
                return port


def pin_environment() -> None:
    os.environ.update(
        {
            "EPICS_CA_ADDR_LIST": "127.0.0.1",
            "EPICS_CA_AUTO_ADDR_LIST": "NO",
            "EPICS_CAS_INTF_ADDR_LIST": "127.0.0.1",
            "EPICS_CAS_BEACON_ADDR_LIST": "127.0.0.1",
            "EPICS_CAS_AUTO_BEACON_ADDR_LIST": "NO",
            "EPICS_CA_SERVER_PORT": str(free_port()),
            "EPICS_CA_REPEATER_PORT": str(free_port()),
        }
    )


def monitor_latency(control: Path, trials: int) -> list[float]:
    import epics

    events: list[tuple[float, float]] = []
    arrived = threading.Condition()

    def heard(value, **_):
        with arrived:
            events.append((time.monotonic(), value))
            arrived.notify_all()

    assert epics.caput(PREFIX + "REMOTE_SP", "REMOTE", wait=True) == 1
    assert epics.caput(PREFIX + "CURR_SP", 1, wait=True) == 1
    assert epics.caput(PREFIX + "VOLT_SP", 1, wait=True) == 1
    assert epics.caput(PREFIX + "OUT_SP", "ON", wait=True) == 1
    pv = epics.PV(PREFIX + "CURR_MEAS", callback=heard)
    assert pv.wait_for_connection(10)
    latencies = []
    for trial in range(trials):
        ohms, amperes = (5, 0.2) if trial % 2 == 0 else (10, 0.1)
        time.sleep(random.uniform(0, INTERVAL_S) + 0.15)
        changed = time.monotonic()
        with open(control, "w") as pipe:
            pipe.write(f"load {ohms}\n")

        def seen(changed=changed, amperes=amperes):
            return next((at for at, v in events if at > changed and abs(v - amperes) < 1e-9), None)

        with arrived:
            arrived.wait_for(lambda: seen() is not None, 5)
            at = seen()
            events.clear()
        if at is not None:
            latencies.append(at - changed)
    pv.clear_callbacks()
    return latencies


def epics_puts(seconds: float) -> float:
    import epics

    count, ends = 0, time.monotonic() + seconds
    started = time.monotonic()
    while time.monotonic() < ends:
        assert epics.caput(PREFIX + "VOLT_SP", 1 + (count % 2) / 1000, wait=True, timeout=5) == 1
        count += 1
    return count / (time.monotonic() - started)


def scpi_puts(port: int, seconds: float) -> float:
    with socket.create_connection(("127.0.0.1", port)) as connection:
        lines = connection.makefile("rw", newline="\n")
        count, ends = 0, time.monotonic() + seconds
        started = time.monotonic()
        while time.monotonic() < ends:
            lines.write(f"VOLT {1 + (count % 2) / 1000};*OPC?\n")
            lines.flush()
            assert lines.readline().strip() == "1"
            count += 1
        return count / (time.monotonic() - started)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer trials, shorter runs")
    parser.add_argument("--out", default="bench/channel_access.json", help="where the results go, as JSON")
    args = parser.parse_args()
    trials, seconds = (20, 2.0) if args.quick else (100, 5.0)
    pin_environment()
    repeater = subprocess.Popen([sys.executable, "-m", "caproto.commandline.repeater", "-q"])
    with tempfile.TemporaryDirectory() as folder:
        control = Path(folder) / "control"
        server = subprocess.Popen(
            [
                sys.executable,
                "-c",
                "import sys; from qm4410.cli import main; sys.exit(main())",
                "serve",
                "--sim",
                "--load",
                "10",
                "--control",
                str(control),
                "--rfc2217",
                "0",
                "--scpi",
                "0",
                "--epics",
                PREFIX,
            ],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
        )
        try:
            resources = [server.stdout.readline().strip() for _ in range(3)]
            scpi_port = int(resources[1].split("::")[2])
            latencies = monitor_latency(control, trials)
            rates = {"epics_puts_per_s": epics_puts(seconds), "scpi_puts_per_s": scpi_puts(scpi_port, seconds)}
        finally:
            server.terminate()
            server.wait(10)
            repeater.terminate()
            repeater.wait(10)
    latencies_ms = sorted(latency * 1e3 for latency in latencies)
    results = {
        "trials": trials,
        "events_seen": len(latencies),
        "monitor_latency_ms": {
            "median": statistics.median(latencies_ms),
            "p95": latencies_ms[int(0.95 * (len(latencies_ms) - 1))],
            "max": latencies_ms[-1],
        },
        "target_ms": TARGET_S * 1e3,
        **rates,
        "load_average": os.getloadavg(),
    }
    met = {
        "monitor_within_interval_plus_5ms": results["monitor_latency_ms"]["max"] <= TARGET_S * 1e3
        and len(latencies) == trials
    }
    with open(args.out, "w") as out:
        json.dump({**results, "targets_met": met}, out, indent=2)
    lat = results["monitor_latency_ms"]
    print(
        f"status change -> monitor event at pyepics: median {lat['median']:.1f} ms, p95 {lat['p95']:.1f} ms, "
        f"max {lat['max']:.1f} ms over {len(latencies)}/{trials} changes; target <= {TARGET_S * 1e3:.0f} ms: "
        f"{'met' if met['monitor_within_interval_plus_5ms'] else 'NOT met'}"
    )
    print(
        f"puts a second: Channel Access {rates['epics_puts_per_s']:.0f}, SCPI {rates['scpi_puts_per_s']:.0f} "
        f"(load average {os.getloadavg()[0]:.2f})"
    )


if __name__ == "__main__":
    main()
