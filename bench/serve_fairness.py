"""qm4410 serve at 4800 baud: what RFC 2217 clients get beside busy SCPI
clients on the one line.

    python bench/serve_fairness.py [--quick] [--out bench/serve_fairness.json]

Settings: an RFC 2217 client (the driver itself) sends voltages one after
another, each a value of its own, while 0, 1, 2 and 4 SCPI clients ask
MEAS:VOLT? back to back; the server's log (-v) tells what became of each
setting (answered, not sent because its reply could not have reached the
client in time, or carried out and not passed on). None may be carried out
and reported failed.

Status readers: two RFC 2217 driver clients read the status back to back
beside two SCPI clients; RFC_READS_TARGET of their reads answered on a
clean line, RFC_READS_LOSSY_TARGET with 1 reply in LOSS_EVERY lost (the
virtual supply's --drop-every). The SCPI clients ask MEAS:VOLT? back to
back (how many came back unanswered is reported), or, in a third run under
the same loss, lines of two exchanges (a setting and a reading, "VOLT
v;MEAS:VOLT?"), whose slowest lines are reported.

Sixteen SCPI readers at once on a clean line: their answers a second in
all (SCPI_READERS_TARGET at least), each a reading no older than the
server's bound (checked by the readings' ages the server logs with -v).

Needs qm4410-sim and the installed package.
"""

import os
import re
import tempfile
import threading
import time

from driver_cost import quiet_stdout
from report import mark, run_benchmark, table
from serve import RawScpi, run_for, server_on
from simulator import connected_driver, virtual_supply

from qm4410.server import HeldSupply
from qm4410.supply.line import DEFAULT_MAX_AGE_S

SCPI_COUNTS = (0, 1, 2, 4)
ANSWERED_TARGET = 0.90  # beside two busy SCPI clients
TARGET_SCPI_COUNT = 2
# The server's log line for an RFC 2217 frame: its set-point and what came of it.
OUTCOME = re.compile(r"rfc2217 client [^:]+:\d+: set_out_voltage (\d+) (.*)$", re.MULTILINE)


RFC_READS_TARGET = 0.95
RFC_READS_LOSSY_TARGET = 0.90
LOSS_EVERY = 37
READERS = {
    "clean, SCPI MEAS:VOLT?": ((), False),
    f"1 reply in {LOSS_EVERY} lost, SCPI MEAS:VOLT?": (("--drop-every", str(LOSS_EVERY)), False),
    f"1 reply in {LOSS_EVERY} lost, SCPI lines of two exchanges": (("--drop-every", str(LOSS_EVERY)), True),
}
SCPI_READERS = 16
SCPI_READERS_TARGET = 80.0  # answers a second, in all
SLOWEST_LINES = 3
CLIENT_ROUND_TRIP_S = 0.001  # between an in-process reader's answer and its next request


def plan(quick: bool) -> dict:
    return {"seconds": 8.0 if quick else 30.0, "reader_seconds": 6.0 if quick else 20.0}


def run_beside(url: str, address, scpi_count: int, seconds: float, first_mv: int) -> dict[int, bool]:
    """The RFC 2217 client's settings, sent for `seconds` beside
    `scpi_count` busy SCPI clients: each set-point (mV, from `first_mv`)
    and whether the driver got True for it."""
    results: dict[int, bool] = {}
    stop = threading.Event()

    def busy(client: RawScpi) -> None:
        while not stop.is_set():
            client.ask()

    scpi = [RawScpi(address) for _ in range(scpi_count)]
    threads = [threading.Thread(target=busy, args=(client,)) for client in scpi]
    try:
        with connected_driver(url) as driver:
            for thread in threads:
                thread.start()
            time.sleep(0.5)  # every SCPI client at work
            deadline = time.monotonic() + seconds
            millivolts = first_mv
            while time.monotonic() < deadline:
                results[millivolts] = driver.set_out_voltage(millivolts / 1000)
                millivolts += 1
    finally:
        stop.set()
        for thread in threads:
            thread.join()
        for client in scpi:
            client.close()
    return results


def readers_beside(url: str, address, seconds: float, two_exchanges: bool) -> dict:
    """Two RFC 2217 driver clients reading the status back to back beside
    two busy SCPI clients, for `seconds`."""
    stop = threading.Event()
    reads = [[0, 0], [0, 0]]  # per RFC 2217 client: asked, answered
    lines: list[tuple[float, bool]] = []  # per SCPI line: seconds, answered

    def rfc2217_loop(driver, count) -> None:
        while not stop.is_set():
            count[0] += 1
            count[1] += driver.read_dev_status() is not None

    def scpi_loop(client: RawScpi, first_mv: int) -> None:
        sent = 0
        while not stop.is_set():
            line = f"VOLT {(first_mv + sent % 2) / 1000:.3f};MEAS:VOLT?" if two_exchanges else "MEAS:VOLT?"
            started = time.perf_counter()
            answered = client.ask(line.encode())
            lines.append((time.perf_counter() - started, answered))
            sent += 1

    scpi = [RawScpi(address) for _ in range(2)]
    try:
        with connected_driver(url) as first, connected_driver(url) as second:
            threads = [threading.Thread(target=rfc2217_loop, args=pair) for pair in zip((first, second), reads)]
            threads += [
                threading.Thread(target=scpi_loop, args=(client, 5000 + 100 * number))
                for number, client in enumerate(scpi)
            ]
            for thread in threads:
                thread.start()
            time.sleep(seconds)
            stop.set()
            for thread in threads:
                thread.join()
    finally:
        for client in scpi:
            client.close()
    asked, answered = sum(count[0] for count in reads), sum(count[1] for count in reads)
    return {
        "rfc2217_reads": asked,
        "rfc2217_answered": answered,
        "rfc2217_share": answered / asked if asked else 0.0,
        "scpi_lines": len(lines),
        "scpi_unanswered": sum(1 for _, ok in lines if not ok),
        "slowest_scpi_lines_s": sorted(took for took, _ in lines)[-SLOWEST_LINES:],
    }


def scpi_readers(seconds: float) -> dict:
    """Sixteen SCPI readers at once through serve: answers a second; and
    the same sixteen as the SCPI door reads (HeldSupply.status) in this
    process, each reading's age checked as it is answered."""
    with virtual_supply("--line-speed", "4800") as port, server_on(port) as (_, _, address):
        clients = [RawScpi(address) for _ in range(SCPI_READERS)]
        try:
            answered, unanswered, elapsed = run_for(clients, seconds)
        finally:
            for client in clients:
                client.close()
    ages: list[float] = []
    with virtual_supply("--line-speed", "4800") as port:
        supply = HeldSupply(port)
        supply.open()
        try:
            deadline = time.monotonic() + seconds

            def loop() -> None:
                answered_at = None  # a line never takes the reading its previous line had
                while time.monotonic() < deadline:
                    time.sleep(CLIENT_ROUND_TRIP_S)
                    reading = supply.status(newer_than=answered_at)
                    if reading is not None:
                        ages.append(time.monotonic() - reading.answered_at)
                        answered_at = reading.answered_at

            threads = [threading.Thread(target=loop) for _ in range(SCPI_READERS)]
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            supply.close()
    return {
        "readers": SCPI_READERS,
        "answers_per_s": answered / elapsed,
        "unanswered": unanswered,
        "in_process_answers": len(ages),
        "oldest_answer_ms": max(ages) * 1e3,
        "older_than_the_bound": sum(1 for age in ages if age > DEFAULT_MAX_AGE_S),
        "bound_ms": DEFAULT_MAX_AGE_S * 1e3,
    }


def measure(quick: bool) -> dict:
    steps = plan(quick)
    rows = []
    with tempfile.TemporaryDirectory() as folder, quiet_stdout():
        log_path = os.path.join(folder, "serve.log")
        with (
            virtual_supply("--line-speed", "4800") as port,
            open(log_path, "w") as log,
            server_on(port, "-v", stderr=log) as (_, url, address),
        ):
            sent = {}
            for index, count in enumerate(SCPI_COUNTS):
                sent[count] = run_beside(url, address, count, steps["seconds"], 1000 + 5_000 * index)  # below 30 V
        with open(log_path) as log:
            outcomes = {int(mv): outcome for mv, outcome in OUTCOME.findall(log.read())}
        readers = []
        for name, (faults, two_exchanges) in READERS.items():
            with virtual_supply("--line-speed", "4800", *faults) as port, server_on(port) as (_, url, address):
                readers.append({"run": name, **readers_beside(url, address, steps["reader_seconds"], two_exchanges)})
        sixteen = scpi_readers(steps["reader_seconds"] / 2)
    for count, results in sent.items():
        told_false = [mv for mv, answered in results.items() if not answered]
        not_sent = [mv for mv in told_false if outcomes.get(mv, "").startswith("not sent")]
        # Unanswered though the server sent it: the supply took it.
        carried_out = [outcomes.get(mv, "no log line") for mv in told_false if mv not in not_sent]
        rows.append(
            {
                "scpi_clients": count,
                "commands": len(results),
                "answered": len(results) - len(told_false),
                "not_sent": len(not_sent),
                "carried_out_told_false": len(carried_out),
                "server_outcomes_of_those": carried_out,
            }
        )
    for row in rows:
        row["answered_share"] = row["answered"] / row["commands"] if row["commands"] else 0.0
    return {
        "rows": rows,
        "readers": readers,
        "scpi_readers": sixteen,
        "meta": {
            "quick": quick,
            **steps,
            "cpus": os.cpu_count(),
            "line_speed": 4800,
            "load_average_1_min": os.getloadavg()[0],
        },
    }


def judge(results: dict) -> dict:
    rows = {row["scpi_clients"]: row for row in results["rows"]}
    clean, lossy, _ = results["readers"]
    sixteen = results["scpi_readers"]
    return {
        "never_told_false_for_a_setting_carried_out": all(row["carried_out_told_false"] == 0 for row in rows.values()),
        f"answered_beside_{TARGET_SCPI_COUNT}_scpi": rows[TARGET_SCPI_COUNT]["answered_share"] >= ANSWERED_TARGET,
        "rfc2217_reads_answered": clean["rfc2217_share"] >= RFC_READS_TARGET,
        "rfc2217_reads_answered_under_loss": lossy["rfc2217_share"] >= RFC_READS_LOSSY_TARGET,
        "sixteen_scpi_readers_answered": sixteen["answers_per_s"] >= SCPI_READERS_TARGET,
        "no_answer_older_than_the_bound": sixteen["older_than_the_bound"] == 0,
    }


def report(results: dict, verdicts: dict) -> str:
    sixteen = results["scpi_readers"]
    rows = [
        [
            r["scpi_clients"],
            r["commands"],
            r["answered"],
            f"{r['answered_share']:.1%}",
            r["not_sent"],
            r["carried_out_told_false"],
            "; ".join(r["server_outcomes_of_those"]),
        ]
        for r in results["rows"]
    ]
    return "\n\n".join(
        [
            "## an RFC 2217 client's settings beside busy SCPI clients, 4800 baud, "
            f"{results['meta']['seconds']:g} s each "
            f"(load average at the end: {results['meta']['load_average_1_min']:.1f})",
            table(
                [
                    "SCPI clients",
                    "settings",
                    "answered",
                    "share",
                    "not sent",
                    "carried out, told False",
                    "the server's log of those",
                ],
                rows,
            ),
            "every setting answered or not carried out: "
            f"{mark(verdicts['never_told_false_for_a_setting_carried_out'])}; "
            f"at least {ANSWERED_TARGET:.0%} answered beside {TARGET_SCPI_COUNT}: "
            f"{mark(verdicts[f'answered_beside_{TARGET_SCPI_COUNT}_scpi'])}",
            "## two RFC 2217 clients reading the status beside two busy SCPI clients, 4800 baud, "
            f"{results['meta']['reader_seconds']:g} s each",
            table(
                [
                    "run",
                    "RFC 2217 reads",
                    "answered",
                    "share",
                    "SCPI lines",
                    "unanswered",
                    f"slowest {SLOWEST_LINES} SCPI lines (s)",
                ],
                [
                    [
                        r["run"],
                        r["rfc2217_reads"],
                        r["rfc2217_answered"],
                        f"{r['rfc2217_share']:.1%}",
                        r["scpi_lines"],
                        r["scpi_unanswered"],
                        ", ".join(f"{took:.2f}" for took in r["slowest_scpi_lines_s"]),
                    ]
                    for r in results["readers"]
                ],
            ),
            f"at least {RFC_READS_TARGET:.0%} answered on a clean line: {mark(verdicts['rfc2217_reads_answered'])}; "
            f"at least {RFC_READS_LOSSY_TARGET:.0%} with 1 reply in {LOSS_EVERY} lost: "
            f"{mark(verdicts['rfc2217_reads_answered_under_loss'])}",
            f"## {sixteen['readers']} SCPI readers at once, 4800 baud",
            f"{sixteen['answers_per_s']:.0f} answers a second in all through serve ({sixteen['unanswered']} "
            f"unanswered), at least {SCPI_READERS_TARGET:.0f}: {mark(verdicts['sixteen_scpi_readers_answered'])}; "
            f"in this process, {sixteen['in_process_answers']} readings as the SCPI door takes them, the oldest "
            f"{sixteen['oldest_answer_ms']:.0f} ms old when answered, {sixteen['older_than_the_bound']} older than "
            f"the {sixteen['bound_ms']:.0f} ms bound: {mark(verdicts['no_answer_older_than_the_bound'])}",
        ]
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "shorter runs (about 90 s)", "bench/serve_fairness.json", measure, judge, report)
