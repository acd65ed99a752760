"""qm4410 serve --config: 16 virtual supplies served by one process, on
lines paced at the real supply's 4800 baud, each on EPICS under its own
prefix (the process's one Channel Access server), each guard reading its
supply's status 10 times a second: the readings a second, the CPU time of
the server process, and its memory over 100,000 readings.

    python bench/rack.py [--quick] [--line-speed BAUD] [--out bench/rack.json]

The virtual supplies are started here, each logging its requests (-v) to a
file of its own, and the rack file names their ports: the readings are
counted where they arrive, and the server's CPU time is its own. Channel
Access is pinned to 127.0.0.1 on ports of its own. Needs qm4410-sim (as
bench/run.py does), caproto and the installed package. Prints a table, and
writes the results as JSON. --line-speed 0 leaves the lines unpaced.
"""

import contextlib
import os
import subprocess
import sys
import tempfile
import time

from channel_access import RACK_LINE_SPEED, RACK_PREFIX, pinned_environment
from report import mark, run_benchmark, table
from serve import FLAT_KIB, rss_kib

from qm4410.virtual_supply import VirtualSupply

SUPPLIES = 16
READINGS_PER_S = 10  # each supply's, asked for
CPU_TARGET_CORES = 0.25
SAMPLES = 10
SERVE = [sys.executable, "-c", "import sys; from qm4410.cli import main; sys.exit(main())", "serve"]
# How the virtual supply logs a request it received.
REQUEST_MARK = b"<- "


def plan(quick: bool) -> dict:
    return {"supplies": SUPPLIES, "readings": 10_000 if quick else 100_000}


def rack_file(ports: list[str]) -> str:
    """Every supply on EPICS under a prefix of its own, with a guard that
    reads its status all the time (for the PVs' monitors, and the
    over-temperature trip), and endpoints on free ports."""
    tables = [
        f'[[supply]]\nname = "psu{n}"\nport = "{port}"\nepics = "{RACK_PREFIX.format(n=n)}"\n'
        for n, port in enumerate(ports, 1)
    ]
    return "trip-overtemp = true\nrfc2217 = 0\nscpi = 0\n\n" + "\n".join(tables)


class RequestCount:
    """The requests the virtual supplies have received, read from the ends
    of their logs as they grow."""

    def __init__(self, paths: list[str]) -> None:
        self._files = [open(path, "rb") for path in paths]
        self._partial = [b""] * len(paths)
        self.total = 0

    def update(self) -> int:
        for index, file in enumerate(self._files):
            text = self._partial[index] + file.read()
            complete, _, self._partial[index] = text.rpartition(b"\n")
            self.total += complete.count(REQUEST_MARK)
        return self.total

    def close(self) -> None:
        for file in self._files:
            file.close()


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")  # utime + stime


def measure(
    quick: bool = False, supplies: int = SUPPLIES, readings: int | None = None, line_speed: int = RACK_LINE_SPEED
) -> dict:
    steps = {**plan(quick), "supplies": supplies, "line_speed": line_speed}
    if readings is not None:
        steps["readings"] = readings
    paced = ["--line-speed", str(line_speed)] if line_speed else []
    with tempfile.TemporaryDirectory() as folder, contextlib.ExitStack() as stack:
        logs = [os.path.join(folder, f"sim{n}.log") for n in range(supplies)]
        ports = [stack.enter_context(VirtualSupply(["-v", *paced], log_path=log)).port for log in logs]
        path = os.path.join(folder, "rack.toml")
        with open(path, "w") as file:
            file.write(rack_file(ports))
        process = subprocess.Popen(
            [*SERVE, "--config", path],
            stdout=subprocess.PIPE,
            stderr=subprocess.DEVNULL,
            text=True,
            # Their autosave, as by default, in a place of its own.
            env={**os.environ, **pinned_environment(), "XDG_STATE_HOME": folder},
        )
        try:
            lines = [process.stdout.readline() for _ in range(3 * supplies)]
            if not all(lines):
                raise RuntimeError(f"qm4410 serve --config did not serve every supply (exit {process.poll()})")
            count = RequestCount(logs)
            stack.callback(count.close)
            first = count.update()
            started, cpu_started = time.monotonic(), cpu_seconds(process.pid)
            samples = [{"readings": 0, "seconds": 0.0, "cpu_s": 0.0, "rss_kib": rss_kib(process.pid)}]
            for step in range(1, SAMPLES + 1):
                while count.update() - first < steps["readings"] * step // SAMPLES:
                    if process.poll() is not None:
                        raise RuntimeError(f"qm4410 serve --config ended (exit {process.returncode})")
                    time.sleep(0.2)
                samples.append(
                    {
                        "readings": count.total - first,
                        "seconds": time.monotonic() - started,
                        "cpu_s": cpu_seconds(process.pid) - cpu_started,
                        "rss_kib": rss_kib(process.pid),
                    }
                )
        finally:
            process.terminate()
            process.wait()
            process.stdout.close()
    last = samples[-1]
    settled = samples[2]["rss_kib"]  # after the first fifth: imports, buffers and caches are in place
    return {
        "samples": samples,
        "meta": {"quick": quick, **steps, "cpus": os.cpu_count()},
        "readings_per_s": last["readings"] / last["seconds"],
        "cpu_cores": last["cpu_s"] / last["seconds"],
        "growth_after_first_fifth_kib": last["rss_kib"] - settled,
    }


def judge(results: dict) -> dict:
    return {
        "every_supply_read_10_a_second": results["readings_per_s"] >= READINGS_PER_S * results["meta"]["supplies"],
        "cpu_under_a_quarter_core": results["cpu_cores"] < CPU_TARGET_CORES,
        "memory_flat": results["growth_after_first_fifth_kib"] < FLAT_KIB,
    }


def report(results: dict, verdicts: dict) -> str:
    meta = results["meta"]
    rows = [[s["readings"], f"{s['seconds']:.0f}", f"{s['cpu_s']:.1f}", s["rss_kib"]] for s in results["samples"]]
    return "\n\n".join(
        [
            f"## {meta['supplies']} supplies on EPICS in one qm4410 serve --config, lines at "
            f"{meta['line_speed'] or 'unpaced'} baud, {meta['readings']} status readings",
            table(["readings", "s", "CPU s", "RSS KiB"], rows),
            f"readings per second: {results['readings_per_s']:.1f} (at least {meta['supplies'] * READINGS_PER_S} "
            f"asked for: {mark(verdicts['every_supply_read_10_a_second'])})",
            f"CPU of the server process: {results['cpu_cores']:.3f} of a core "
            f"(under {CPU_TARGET_CORES:g}: {mark(verdicts['cpu_under_a_quarter_core'])})",
            f"memory growth after the first fifth: {results['growth_after_first_fifth_kib']} KiB "
            f"(flat: under {FLAT_KIB} KiB: {mark(verdicts['memory_flat'])})",
        ]
    )


if __name__ == "__main__":
    run_benchmark(
        __doc__,
        "10,000 readings (about two minutes)",
        "bench/rack.json",
        measure,
        judge,
        report,
        [("--line-speed", {"type": int, "help": f"the lines' baud (default {RACK_LINE_SPEED}; 0: unpaced)"})],
    )
