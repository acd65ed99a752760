"""qm4410 serve at 4800 baud: how many of an RFC 2217 client's settings are
answered while 0, 1, 2 and 4 SCPI clients keep the supply's line busy, and
whether any that went unanswered was carried out all the same (the client
told False for a setting the supply took).

    python bench/serve_fairness.py [--quick] [--out bench/serve_fairness.json]

The RFC 2217 client is the driver itself, sending voltages one after
another, each a value of its own, so that the server's log (-v) tells what
became of each: answered, not sent (its reply could not have reached the
client in time), or carried out and not passed on. The SCPI clients ask
MEAS:VOLT? back to back. Needs qm4410-sim and the installed package.
"""

import os
import re
import tempfile
import threading
import time

from driver_cost import quiet_stdout
from report import mark, run_benchmark, table
from serve import RawScpi, server_on
from simulator import connected_driver, virtual_supply

SCPI_COUNTS = (0, 1, 2, 4)
ANSWERED_TARGET = 0.90  # beside two busy SCPI clients
TARGET_SCPI_COUNT = 2
# The server's log line for an RFC 2217 frame: its set-point and what came of it.
OUTCOME = re.compile(r"rfc2217 client [^:]+:\d+: set_out_voltage (\d+) (.*)$", re.MULTILINE)


def plan(quick: bool) -> dict:
    return {"seconds": 8.0 if quick else 30.0}


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
                sent[count] = run_beside(url, address, count, steps["seconds"], 1000 + 10_000 * index)
        with open(log_path) as log:
            outcomes = {int(mv): outcome for mv, outcome in OUTCOME.findall(log.read())}
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
    return {
        "never_told_false_for_a_setting_carried_out": all(row["carried_out_told_false"] == 0 for row in rows.values()),
        f"answered_beside_{TARGET_SCPI_COUNT}_scpi": rows[TARGET_SCPI_COUNT]["answered_share"] >= ANSWERED_TARGET,
    }


def report(results: dict, verdicts: dict) -> str:
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
        ]
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "shorter runs (about 40 s)", "bench/serve_fairness.json", measure, judge, report)
