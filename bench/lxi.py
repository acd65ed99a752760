"""The VISA doors of `qm4410 serve` (HiSLIP and VXI-11) against its raw
SCPI socket: status reads a second (`MEAS:VOLT?`, each answered from a
status read of the supply) by one client of each, back to back, and the
latency each door adds to one query, for a status read and for `*IDN?`,
which the server answers alone.

    python bench/lxi.py [--quick] [--out bench/lxi.json]

The clients are lean: a plain socket for SCPI, pyvisa-py's own HiSLIP and
VXI-11 clients (its protocol classes, without the VISA layer) for the
others. Target: each door at least 0.95 of the raw socket's rate. Needs
qm4410-sim and the installed package, pyvisa-py too.
"""

import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time

from driver_cost import quiet_stdout
from pyvisa_py.protocols import hislip, vxi11
from pyvisa_py.tcpip import Vxi11CoreClient
from report import mark, run_benchmark, table
from serve import RawScpi
from simulator import virtual_supply

RATE_TARGET = 0.95
SERVE = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())", "serve"]
DOORS = ("scpi", "hislip", "vxi11")


def plan(quick: bool) -> dict:
    return {"rate_seconds": 2.0 if quick else 5.0, "latency_rounds": 50 if quick else 300}


@contextlib.contextmanager
def served(port: str):
    """`qm4410 serve` on `port` with every SCPI door: one client of each."""
    log = tempfile.TemporaryFile("w+")
    process = subprocess.Popen(
        [*SERVE, "--port", port, "--rfc2217", "0", "--scpi", "0", "--hislip", "0", "--vxi11", "0"],
        stdout=subprocess.PIPE,
        stderr=log,
        text=True,
    )
    try:
        lines = [process.stdout.readline().strip() for _ in range(4)]
        if not lines[-1]:
            process.wait()
            log.seek(0)
            raise RuntimeError(f"qm4410 serve did not start (exit {process.returncode}): {log.read()}")
        scpi_port = int(lines[1].split("::")[2])
        hislip_port = int(lines[2].split(",")[1].split("::")[0])
        vxi11_host = lines[3].split("::")[1]
        clients = {
            "scpi": RawScpi(("127.0.0.1", scpi_port)),
            "hislip": HislipClient(hislip_port),
            "vxi11": Vxi11Client(vxi11_host),
        }
        try:
            yield clients
        finally:
            for client in clients.values():
                client.close()
    finally:
        process.terminate()
        process.wait()
        process.stdout.close()
        log.close()


class HislipClient:
    def __init__(self, port: int) -> None:
        self.instrument = hislip.Instrument("127.0.0.1", timeout=10, port=port)

    def ask(self, line: bytes = b"MEAS:VOLT?") -> bool:
        self.instrument.send(line + b"\n")
        return b"9.91E+37" not in self.instrument.receive()

    def close(self) -> None:
        self.instrument.close()


class Vxi11Client:
    """The core channel, found through the portmapper or by the port in
    the resource string."""

    def __init__(self, host: str) -> None:
        host, _, port = host.partition(",")
        self.client = Vxi11CoreClient(host, int(port) if port else None, 5000)
        error, self.link, _, _ = self.client.create_link(1, False, 0, "inst0")
        assert error == 0

    def ask(self, line: bytes = b"MEAS:VOLT?") -> bool:
        error, _ = self.client.device_write(self.link, 10_000, 0, vxi11.OP_FLAG_END, line + b"\n")
        if error:
            return False
        error, _, data = self.client.device_read(self.link, 4096, 10_000, 0, 0, 0)
        return not error and b"9.91E+37" not in data

    def close(self) -> None:
        self.client.destroy_link(self.link)
        self.client.close()


def rates(clients: dict, seconds: float) -> dict:
    """Status reads a second by each door's client alone, one door after another."""
    rows = {}
    for door in DOORS:
        answered = unanswered = 0
        started = time.monotonic()
        while time.monotonic() - started < seconds:
            if clients[door].ask():
                answered += 1
            else:
                unanswered += 1
        rows[door] = {"per_s": answered / (time.monotonic() - started), "unanswered": unanswered}
    for row in rows.values():
        row["of_raw"] = row["per_s"] / rows["scpi"]["per_s"]
    return rows


def latencies(clients: dict, rounds: int) -> dict:
    """Medians of one query by each door, interleaved round by round."""
    medians = {}
    for query in (b"MEAS:VOLT?", b"*IDN?"):
        times: dict[str, list[float]] = {door: [] for door in DOORS}
        for _ in range(rounds):
            for door in DOORS:
                start = time.perf_counter()
                if not clients[door].ask(query):
                    raise RuntimeError(f"{door}: {query!r} went unanswered")
                times[door].append(time.perf_counter() - start)
        medians[query.decode()] = {door: statistics.median(values) * 1e3 for door, values in times.items()}
    return medians


def measure(quick: bool) -> dict:
    steps = plan(quick)
    with quiet_stdout(), virtual_supply() as port, served(port) as clients:
        results = {
            "rates": rates(clients, steps["rate_seconds"]),
            "latency_ms": latencies(clients, steps["latency_rounds"]),
        }
    results["meta"] = {"quick": quick, **steps, "cpus": os.cpu_count()}
    return results


def judge(results: dict) -> dict:
    return {"rate": {door: results["rates"][door]["of_raw"] >= RATE_TARGET for door in ("hislip", "vxi11")}}


def report(results: dict, verdicts: dict) -> str:
    rates_rows = [
        [
            door,
            f"{row['per_s']:.1f}",
            f"{row['of_raw']:.3f}",
            row["unanswered"],
            mark(verdicts["rate"][door]) if door in verdicts["rate"] else "",
        ]
        for door, row in results["rates"].items()
    ]
    latency_rows = [
        [query, door, f"{ms:.3f}", "" if door == "scpi" else f"{ms - by_door['scpi']:+.3f}"]
        for query, by_door in results["latency_ms"].items()
        for door, ms in by_door.items()
    ]
    meta = results["meta"]
    return "\n\n".join(
        [
            f"## status reads a second, one client of each door alone, {meta['rate_seconds']:g} s each",
            table(["door", "per s", "of raw socket", "unanswered", f">= {RATE_TARGET:g}"], rates_rows),
            f"## one query, medians of {meta['latency_rounds']} interleaved rounds",
            table(["query", "door", "ms", "added ms"], latency_rows),
        ]
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "shorter runs (about 15 s)", "bench/lxi.json", measure, judge, report)
