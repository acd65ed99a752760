"""qm4410 serve: commands per second through the server for 1, 4 and 16
clients of each endpoint against the same supply driven directly in the
same run; the latency the server adds per command on loopback; and the
server's memory over 100,000 commands. The rates and latencies are taken
with `--max-age 0`, every status read an exchange of the supply's own
(what sharing readings gives is measured by bench/serve_fairness.py).

    python bench/serve.py [--quick] [--out bench/serve.json]

Needs qm4410-sim (as bench/run.py does) and the installed package. Prints
tables, and writes the results as JSON.
"""

import contextlib
import os
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

import serial
from commands import FRAME_LENGTH, STATUS_REQUEST, frame
from driver_cost import quiet_stdout
from report import mark, run_benchmark, table
from simulator import connected_driver, virtual_supplies

RATE_TARGET = 0.95  # of the direct rate, in total
ADDED_LATENCY_TARGET_MS = 0.5
CLIENT_COUNTS = (1, 4, 16)
MEMORY_SAMPLES = 10
# Above --limit-voltage: the server refuses it without a word to the supply.
REFUSED_REQUEST = frame(0x23, (60_000).to_bytes(4, "little"))
MEMORY_LIMIT_V = 50
# Every status read an exchange of its own, none answered from a reading
# shared within the server's bound: the rates and latencies compare the
# server's cost per exchange with the driver's.
EVERY_READ_AN_EXCHANGE = ("--max-age", "0")
SERVE = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())", "serve"]


def plan(quick: bool) -> dict:
    return {
        "rate_seconds": 1.0 if quick else 3.0,
        "latency_rounds": 30 if quick else 200,
        "memory_commands": 10_000 if quick else 100_000,
    }


@contextlib.contextmanager
def server_on(port: str, *options: str, stderr=subprocess.DEVNULL):
    """`qm4410 serve` holding `port`: its process and its two endpoints;
    its log goes to `stderr`."""
    folder = tempfile.TemporaryDirectory()
    process = subprocess.Popen(
        [*SERVE, "--port", port, "--rfc2217", "0", "--scpi", "0", *options],
        stdout=subprocess.PIPE,
        stderr=stderr,
        text=True,
        env={**os.environ, "XDG_STATE_HOME": folder.name},  # its autosave, as by default, in a place of its own
    )
    try:
        rfc2217, visa = process.stdout.readline().strip(), process.stdout.readline().strip()
        if not visa:
            raise RuntimeError(f"qm4410 serve did not start (exit {process.wait()})")
        yield process, rfc2217, ("127.0.0.1", int(visa.split("::")[2]))
    finally:
        process.terminate()
        process.wait()
        process.stdout.close()
        folder.cleanup()


class RawRfc2217:
    """A client of the supply's own protocol that reads its reply as soon as
    it is whole (pyserial's RFC 2217 client, blocking read), so that it adds
    no poll of its own to what the server takes."""

    def __init__(self, url: str) -> None:
        self.port = serial.serial_for_url(url, timeout=2)

    def ask(self, request: bytes = STATUS_REQUEST, replies: int = 1) -> bool:
        self.port.write(request)
        return len(self.port.read(FRAME_LENGTH * replies)) == FRAME_LENGTH * replies

    def close(self) -> None:
        self.port.close()


class RawScpi:
    """A SCPI client on a plain socket."""

    def __init__(self, address) -> None:
        self.socket = socket.create_connection(address)
        self.socket.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.pending = b""

    def ask(self, line: bytes = b"MEAS:VOLT?") -> bool:
        self.socket.sendall(line + b"\n")
        while b"\n" not in self.pending:
            chunk = self.socket.recv(4096)
            if not chunk:
                return False
            self.pending += chunk
        answer, self.pending = self.pending.split(b"\n", 1)
        return b"9.91E+37" not in answer

    def close(self) -> None:
        self.socket.close()


def run_for(clients: list, seconds: float) -> tuple[int, int, float]:
    """Each client asks again and again from a thread of its own for
    `seconds`: (answered, unanswered, elapsed)."""
    counts = [[0, 0] for _ in clients]
    deadline = time.monotonic() + seconds

    def loop(client, count):
        while time.monotonic() < deadline:
            count[0 if client.ask() else 1] += 1

    threads = [threading.Thread(target=loop, args=pair) for pair in zip(clients, counts)]
    started = time.monotonic()
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    return sum(c[0] for c in counts), sum(c[1] for c in counts), time.monotonic() - started


def rates(port: str, seconds: float) -> dict:
    """The supply's rate driven directly, then through the server that holds
    the same port, for each endpoint and number of clients."""
    with connected_driver(port) as direct:
        answered, unanswered, elapsed = run_for([DriverClient(direct)], seconds)
    rows = [{"path": "direct", "clients": 1, "per_s": answered / elapsed, "unanswered": unanswered}]
    with server_on(port, *EVERY_READ_AN_EXCHANGE) as (_, url, address):
        for endpoint, make in (("rfc2217", lambda: RawRfc2217(url)), ("scpi", lambda: RawScpi(address))):
            for count in CLIENT_COUNTS:
                clients = [make() for _ in range(count)]
                try:
                    answered, unanswered, elapsed = run_for(clients, seconds)
                finally:
                    for client in clients:
                        client.close()
                rows.append({"path": endpoint, "clients": count, "per_s": answered / elapsed, "unanswered": unanswered})
        # The driver as a client polls for its reply every 10 ms, as the
        # server's own driver does: one client waits for two polls.
        for count in (1, 4):
            with contextlib.ExitStack() as stack:
                drivers = [DriverClient(stack.enter_context(connected_driver(url))) for _ in range(count)]
                answered, unanswered, elapsed = run_for(drivers, seconds)
            rows.append(
                {
                    "path": "rfc2217, driver as client",
                    "clients": count,
                    "per_s": answered / elapsed,
                    "unanswered": unanswered,
                }
            )
    for row in rows:
        row["of_direct"] = row["per_s"] / rows[0]["per_s"]
    return {"rows": rows}


class DriverClient:
    def __init__(self, driver) -> None:
        self.driver = driver

    def ask(self) -> bool:
        return self.driver.read_dev_status() is not None


def latencies(direct_port: str, served_port: str, rounds: int) -> dict:
    """Medians of one status read, interleaved: by the driver on one supply,
    and through the server on the other, by each endpoint; and a SCPI query
    that the server answers alone."""
    with connected_driver(direct_port) as direct, server_on(served_port, *EVERY_READ_AN_EXCHANGE) as (_, url, address):
        rfc2217, scpi = RawRfc2217(url), RawScpi(address)
        calls = {
            "direct": DriverClient(direct).ask,
            "rfc2217": rfc2217.ask,
            "scpi": scpi.ask,
            "scpi_identity": lambda: scpi.ask(b"*IDN?"),
        }
        times: dict[str, list[float]] = {name: [] for name in calls}
        try:
            for _ in range(rounds):
                for name, call in calls.items():
                    start = time.perf_counter()
                    if not call():
                        raise RuntimeError(f"{name}: a status read went unanswered")
                    times[name].append(time.perf_counter() - start)
        finally:
            rfc2217.close()
            scpi.close()
    medians = {f"{name}_ms": statistics.median(values) * 1e3 for name, values in times.items()}
    for endpoint in ("rfc2217", "scpi"):
        medians[f"{endpoint}_added_ms"] = medians[f"{endpoint}_ms"] - medians["direct_ms"]
    return medians


def rss_kib(pid: int) -> int:
    with open(f"/proc/{pid}/status") as status:
        return next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))


def memory(port: str, commands: int) -> dict:
    """The server's resident memory every tenth of `commands`, from four
    SCPI and four RFC 2217 clients. Most commands are answered by the
    server alone (the supply's line takes about 100 a second): SCPI lines
    of three queries it answers itself, with a status read every 200th line;
    RFC 2217 writes of 99 set-points it refuses (above --limit-voltage) and
    one status request."""
    per_rfc2217_write = 100
    with server_on(port, "--limit-voltage", str(MEMORY_LIMIT_V)) as (process, url, address):
        done = [0]
        exchanges = [0]  # the commands of those that went to the supply
        lock = threading.Lock()
        target = commands

        def scpi_loop(client):
            lines = 0
            while done[0] < target:
                lines += 1
                line, count = (b"MEAS:VOLT?", 1) if lines % 200 == 0 else (b"*IDN?;VOLT:PROT?;SYST:ERR?", 3)
                client.ask(line)
                with lock:
                    done[0] += count
                    exchanges[0] += count == 1

        def rfc2217_loop(client):
            while done[0] < target:
                client.ask(REFUSED_REQUEST * (per_rfc2217_write - 1) + STATUS_REQUEST)
                with lock:
                    done[0] += per_rfc2217_write
                    exchanges[0] += 1

        clients = [RawScpi(address) for _ in range(4)] + [RawRfc2217(url) for _ in range(4)]
        loops = [scpi_loop] * 4 + [rfc2217_loop] * 4
        threads = [threading.Thread(target=loop, args=(client,)) for loop, client in zip(loops, clients)]
        samples = [{"commands": 0, "rss_kib": rss_kib(process.pid)}]
        started = time.monotonic()
        for thread in threads:
            thread.start()
        for step in range(1, MEMORY_SAMPLES + 1):
            while done[0] < commands * step // MEMORY_SAMPLES:
                time.sleep(0.01)
            samples.append({"commands": done[0], "rss_kib": rss_kib(process.pid)})
        for thread in threads:
            thread.join()
        elapsed = time.monotonic() - started
        for client in clients:
            client.close()
    settled = samples[2]["rss_kib"]  # after the first fifth: imports, buffers and caches are in place
    return {
        "samples": samples,
        "seconds": elapsed,
        "exchanges": exchanges[0],
        "growth_after_first_fifth_kib": samples[-1]["rss_kib"] - settled,
    }


def measure(quick: bool) -> dict:
    steps = plan(quick)
    with quiet_stdout(), virtual_supplies(2) as (first, second):
        results = {
            "rates": rates(first, steps["rate_seconds"]),
            "latency": latencies(first, second, steps["latency_rounds"]),
            "memory": memory(second, steps["memory_commands"]),
        }
    results["meta"] = {"quick": quick, **steps, "cpus": os.cpu_count()}
    return results


# Memory is flat when it grows by less than this over the last four fifths.
FLAT_KIB = 512


def judge(results: dict) -> dict:
    rows = results["rates"]["rows"]
    latency = results["latency"]
    return {
        "rate": {
            f"{r['path']} x{r['clients']}": r["of_direct"] >= RATE_TARGET
            for r in rows
            if r["path"] in ("rfc2217", "scpi")
        },
        "added_latency": {e: latency[f"{e}_added_ms"] < ADDED_LATENCY_TARGET_MS for e in ("rfc2217", "scpi")},
        "memory_flat": results["memory"]["growth_after_first_fifth_kib"] < FLAT_KIB,
    }


def report(results: dict, verdicts: dict) -> str:
    rows = results["rates"]["rows"]
    rate_rows = [
        [
            r["path"],
            r["clients"],
            f"{r['per_s']:.1f}",
            f"{r['of_direct']:.3f}",
            r["unanswered"],
            mark(verdicts["rate"][f"{r['path']} x{r['clients']}"]) if r["path"] in ("rfc2217", "scpi") else "",
        ]
        for r in rows
    ]
    latency = results["latency"]
    latency_rows = [["driver, directly", f"{latency['direct_ms']:.3f}", "", ""]]
    latency_rows += [
        [
            f"{endpoint}, through the server",
            f"{latency[f'{endpoint}_ms']:.3f}",
            f"{latency[f'{endpoint}_added_ms']:.3f}",
            mark(verdicts["added_latency"][endpoint]),
        ]
        for endpoint in ("rfc2217", "scpi")
    ]
    latency_rows.append(["scpi *IDN? (the server alone)", f"{latency['scpi_identity_ms']:.3f}", "", ""])
    memory = results["memory"]
    memory_rows = [[s["commands"], s["rss_kib"]] for s in memory["samples"]]
    return "\n\n".join(
        [
            f"## status reads per second, {results['meta']['rate_seconds']:g} s each",
            table(["path", "clients", "per s", "of direct", "unanswered", f">= {RATE_TARGET:g}"], rate_rows),
            f"## one status read, medians of {results['meta']['latency_rounds']} interleaved rounds",
            table(["path", "ms", "added ms", f"< {ADDED_LATENCY_TARGET_MS:g} ms"], latency_rows),
            f"## the server's memory over {results['meta']['memory_commands']} commands, {memory['exchanges']} of them "
            f"status reads through the supply ({memory['seconds']:.0f} s)",
            table(["commands", "RSS KiB"], memory_rows),
            f"growth after the first fifth: {memory['growth_after_first_fifth_kib']} KiB "
            f"(flat: under {FLAT_KIB} KiB: {mark(verdicts['memory_flat'])})",
        ]
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "shorter runs (about 20 s)", "bench/serve.json", measure, judge, report)
