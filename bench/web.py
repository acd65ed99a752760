"""The web page of `qm4410 serve --http`: how soon a set-point changed over
SCPI shows on the page, and what twenty open pages cost the server and the
SCPI clients beside them.

    python bench/web.py [--quick] [--out bench/web.json]

Change to screen: a page in headless Chromium (Playwright; Debian's
chromium where Playwright's own browser is missing) watches its voltage
set-point with a MutationObserver; a raw SCPI client sets a new voltage
(`VOLT v;*OPC?`), each at a random moment of the guard's reading interval,
and the time from just before the line is sent to the observer seeing the
new value is taken, from the same clock. Target: 95th percentile under
150 ms.

Twenty pages: twenty WebSocket clients of this process, each reading every
message as a page's script does (the browser's own drawing is the
browser's, not the server's, and twenty headless tabs would load the
two-core machine that the SCPI rate is measured on). Measured, in turns
with no page and with twenty: the server process's CPU time while idle,
and `MEAS:VOLT?` a second by one raw SCPI client back to back. Targets:
the pages cost under 5 % of one core; the SCPI rate with them at least
0.95 of its rate without. The rate of a server without --http (whose guard
then does not read at all) is told beside, for what the shared reading
itself costs.

A full run leaves docs/web-example.png, a screenshot of the page. Needs
qm4410-sim, the installed package with its web extra, and playwright.
"""

import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from contextlib import ExitStack, contextmanager
from pathlib import Path

from driver_cost import quiet_stdout
from playwright.sync_api import sync_playwright
from report import mark, run_benchmark, table
from serve import RawScpi
from simulator import virtual_supply
from websockets.sync.client import connect

LATENCY_TARGET_MS = 150.0
CPU_TARGET = 0.05  # of one core
RATE_TARGET = 0.95
PAGES = 20
TOKEN = "bench-token-for-the-page"
SERVE = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())", "serve"]
SYSTEM_CHROMIUM = "/usr/bin/chromium"
SCREENSHOT = Path(__file__).resolve().parents[1] / "docs" / "web-example.png"
INTERVAL_S = 0.1  # the guard's


def plan(quick: bool) -> dict:
    return {"changes": 30 if quick else 200, "phase_seconds": 3.0 if quick else 10.0, "turns": 1 if quick else 3}


@contextmanager
def served(port: str, *options: str):
    """`qm4410 serve` on `port`: its SCPI port, its page's URL (or None)
    and its process id."""
    log = tempfile.TemporaryFile("w+")
    process = subprocess.Popen(
        [*SERVE, "--port", port, "--rfc2217", "0", "--scpi", "0", *options],
        stdout=subprocess.PIPE,
        stderr=log,
        text=True,
    )
    try:
        lines = [process.stdout.readline().strip() for _ in range(3 if "--http" in options else 2)]
        if not lines[-1]:
            process.wait()
            log.seek(0)
            raise RuntimeError(f"qm4410 serve did not start (exit {process.returncode}): {log.read()}")
        yield int(lines[1].split("::")[2]), (lines[2] if len(lines) > 2 else None), process.pid
    finally:
        process.terminate()
        process.wait()
        process.stdout.close()
        log.close()


def browser(playwright):
    if os.path.exists(playwright.chromium.executable_path):
        return playwright.chromium.launch()
    return playwright.chromium.launch(executable_path=SYSTEM_CHROMIUM)


WATCH = """() => {
    const shown = document.getElementById("set-voltage");
    window.seen = [];
    new MutationObserver(() => {
        window.seen.push([performance.timeOrigin + performance.now(), shown.textContent]);
    }).observe(shown, { childList: true, characterData: true, subtree: true });
}"""


def change_to_screen(page, scpi: RawScpi, changes: int) -> list[float]:
    """Milliseconds from each SCPI change to the page showing it."""
    page.evaluate(WATCH)
    taken = []
    for number in range(changes):
        volts = f"{1 + (number % 2) + number / 1000:.3f}"
        time.sleep(INTERVAL_S + random.uniform(0, INTERVAL_S))  # at a random moment of the interval
        sent = time.time() * 1000
        assert scpi.ask(f"VOLT {volts};*OPC?".encode())
        page.wait_for_function(
            "volts => window.seen.some(([, text]) => text === volts)", arg=volts, timeout=10_000, polling=20
        )
        shown = page.evaluate("volts => window.seen.find(([, text]) => text === volts)[0]", volts)
        page.evaluate("() => { window.seen = []; }")
        taken.append(shown - sent)
    return taken


class Pages:
    """`count` WebSocket clients of a page, each reading every message."""

    def __init__(self, url: str, count: int) -> None:
        self.stop = threading.Event()
        self.messages = 0
        ws = url.replace("http://", "ws://") + "ws"
        self.opened = ExitStack()
        self.connections = [self.opened.enter_context(connect(ws, open_timeout=30)) for _ in range(count)]
        for connection in self.connections:
            connection.send(json.dumps({"type": "hello"}))
            connection.recv(timeout=30)
        self.threads = [threading.Thread(target=self._read, args=(c,), daemon=True) for c in self.connections]
        for thread in self.threads:
            thread.start()

    def _read(self, connection) -> None:
        while not self.stop.is_set():
            try:
                connection.recv(timeout=1)
                self.messages += 1
            except TimeoutError:
                continue
            except Exception:
                return

    def close(self) -> None:
        self.stop.set()
        self.opened.close()
        for thread in self.threads:
            thread.join(5)


def cpu_seconds(pid: int) -> float:
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def idle_cost(pid: int, seconds: float) -> float:
    """The server's CPU time a second, as a share of one core."""
    before, started = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - before) / (time.monotonic() - started)


def scpi_rate(scpi: RawScpi, seconds: float) -> float:
    answered, started = 0, time.monotonic()
    while time.monotonic() - started < seconds:
        answered += scpi.ask()
    return answered / (time.monotonic() - started)


def pages_cost(port: str, steps: dict) -> dict:
    """In turns, without pages and with PAGES: the server's idle CPU and
    the SCPI rate."""
    found: dict[str, list[float]] = {"cpu_none": [], "cpu_pages": [], "rate_none": [], "rate_pages": []}
    messages = 0
    with served(port, "--http", "0") as (scpi_port, url, pid):
        scpi = RawScpi(("127.0.0.1", scpi_port))
        scpi_rate(scpi, 1.0)  # warmed up
        for _ in range(steps["turns"]):
            found["cpu_none"].append(idle_cost(pid, steps["phase_seconds"]))
            found["rate_none"].append(scpi_rate(scpi, steps["phase_seconds"]))
            pages = Pages(url, PAGES)
            try:
                found["cpu_pages"].append(idle_cost(pid, steps["phase_seconds"]))
                found["rate_pages"].append(scpi_rate(scpi, steps["phase_seconds"]))
            finally:
                pages.close()
            messages += pages.messages
        scpi.close()
    with served(port) as (scpi_port, _, _):
        scpi = RawScpi(("127.0.0.1", scpi_port))
        scpi_rate(scpi, 1.0)
        without_http = scpi_rate(scpi, steps["phase_seconds"])
        scpi.close()
    means = {name: statistics.mean(values) for name, values in found.items()}
    return {
        **means,
        "pages_cpu": means["cpu_pages"] - means["cpu_none"],
        "rate_of_baseline": means["rate_pages"] / means["rate_none"],
        "rate_without_http": without_http,
        "messages_a_page_a_second": messages / PAGES / (steps["turns"] * 2 * steps["phase_seconds"]),
    }


def latency(port: str, steps: dict, screenshot: bool) -> list[float]:
    options = ["--http", "0", "--http-control", "--http-token", TOKEN, "--limit-voltage", "12"]
    with served(port, *options, "--trip-current", "2") as (scpi_port, url, _), sync_playwright() as playwright:
        scpi = RawScpi(("127.0.0.1", scpi_port))
        assert scpi.ask(b"CURR 1;OUTP ON;*OPC?")
        chromium = browser(playwright)
        try:
            page = chromium.new_page(viewport={"width": 1100, "height": 900})
            page.goto(url)
            page.wait_for_function("() => document.getElementById('link-state').textContent === 'live'")
            taken = change_to_screen(page, scpi, steps["changes"])
            if screenshot:
                page.fill("#token", TOKEN)
                page.click("#unlock")
                page.wait_for_selector("#voltage-input", state="visible")
                for volts in (3, 5, 4):
                    assert scpi.ask(f"VOLT {volts};*OPC?".encode())
                    time.sleep(2)
                page.screenshot(path=str(SCREENSHOT), full_page=True)
        finally:
            chromium.close()
            scpi.close()
    return taken


def measure(quick: bool) -> dict:
    steps = plan(quick)
    with quiet_stdout(), ExitStack() as stack:
        port = stack.enter_context(virtual_supply("--load", "10"))
        taken = latency(port, steps, screenshot=not quick)
        cost = pages_cost(port, steps)
    ordered = sorted(taken)
    return {
        "change_to_screen_ms": {
            "median": statistics.median(ordered),
            "p95": ordered[max(0, round(0.95 * len(ordered)) - 1)],
            "worst": ordered[-1],
            "count": len(ordered),
        },
        "pages": cost,
        "meta": {"quick": quick, **steps, "pages": PAGES, "cpus": os.cpu_count(), "load": os.getloadavg()},
    }


def judge(results: dict) -> dict:
    return {
        "change_to_screen": results["change_to_screen_ms"]["p95"] < LATENCY_TARGET_MS,
        "pages_cpu": results["pages"]["pages_cpu"] < CPU_TARGET,
        "scpi_rate": results["pages"]["rate_of_baseline"] >= RATE_TARGET,
    }


def report(results: dict, verdicts: dict) -> str:
    latency, pages, meta = results["change_to_screen_ms"], results["pages"], results["meta"]
    return "\n\n".join(
        [
            f"## change over SCPI to the page's DOM, {latency['count']} changes",
            table(
                ["median ms", "p95 ms", "worst ms", f"p95 < {LATENCY_TARGET_MS:g}"],
                [
                    [
                        f"{latency['median']:.1f}",
                        f"{latency['p95']:.1f}",
                        f"{latency['worst']:.1f}",
                        mark(verdicts["change_to_screen"]),
                    ]
                ],
            ),
            f"## {meta['pages']} open pages, {meta['turns']} turns of {meta['phase_seconds']:g} s each way",
            table(
                ["", "no page", f"{meta['pages']} pages", "target", "met"],
                [
                    [
                        "server CPU, share of one core",
                        f"{pages['cpu_none']:.4f}",
                        f"{pages['cpu_pages']:.4f}",
                        f"added < {CPU_TARGET:g}",
                        f"{mark(verdicts['pages_cpu'])} (+{pages['pages_cpu']:.4f})",
                    ],
                    [
                        "SCPI MEAS:VOLT? a second",
                        f"{pages['rate_none']:.1f}",
                        f"{pages['rate_pages']:.1f}",
                        f">= {RATE_TARGET:g} of no page",
                        f"{mark(verdicts['scpi_rate'])} ({pages['rate_of_baseline']:.3f})",
                    ],
                ],
            ),
            f"SCPI rate of a server without --http: {pages['rate_without_http']:.1f} a second; "
            f"each page got {pages['messages_a_page_a_second']:.1f} messages a second",
        ]
    )


if __name__ == "__main__":
    run_benchmark(__doc__, "fewer changes and shorter turns (about 30 s)", "bench/web.json", measure, judge, report)
