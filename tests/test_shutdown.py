"""The interpreter may end while daemon threads are inside the driver.

When it finalizes, a daemon thread that takes the GIL back is ended on the
spot and its stack unwinds through the driver's C++ frames. Each scenario
runs the threads' code in a namespace of its own (so that nothing of theirs
keeps the main module's objects alive) and leaves in the main module an
object whose finaliser runs, GIL given up, while the interpreter shuts down.
Each runs several times in parallel and must exit 0: the crashes and hangs
these guard against came in one exit out of a few, or every time."""

import subprocess
import sys
from textwrap import dedent

import pytest

WORKER = """
    import time
    import qm4410
    from qm4410 import QM4410

    class SilentPort:
        def write(self, data): pass
        def inWaiting(self): return 0
        def read(self, n): return b""

    qm4410.time = time  # the real sleep, which gives the GIL up
"""

SLOW_TO_GO = """
    class SlowToGo:
        def __del__(self, time=time):
            time.sleep({seconds})

    last = SlowToGo()
"""

SCENARIOS = {  # name: (the threads' code, the main module's code)
    # Requests built as lists (a patched checksum method): a thread ended in
    # the middle owns the only reference to the list it was sending.
    "threads ended mid-transaction": (
        """
        def cal_crc(self, data):
            data[-1] = sum(data[:-1]) & 0xFF
        QM4410._QM4410__cal_crc = cal_crc

        def keep_asking():
            driver = QM4410("unused")
            driver.ser = SilentPort()
            while True:
                driver.read_dev_status()
    """,
        dedent("""
        for _ in range(4):
            threading.Thread(target=ns["keep_asking"], daemon=True).start()
        del ns
        time.sleep(0.05)
    """)
        + dedent(SLOW_TO_GO).format(seconds=0.3),
    ),
    # A thread ended just as it got the line must not keep it: an object
    # finalized during shutdown still uses the same driver.
    "line used again during shutdown": (
        """
        driver = QM4410("unused")
        driver.ser = SilentPort()

        def keep_asking():
            while True:
                driver.read_dev_status()
    """,
        dedent("""
        for _ in range(4):
            threading.Thread(target=ns["keep_asking"], daemon=True).start()
        time.sleep(0.1)

        class SwitchOffWhenGone:
            def __init__(self, driver): self.driver = driver
            def __del__(self): self.driver.read_dev_status()

        switch_off = SwitchOffWhenGone(ns["driver"])
        del ns
    """),
    ),
    # Freeing an object the driver held runs Python code that gives the GIL
    # up: the thread is ended from inside the driver's own clean-up.
    "thread ended while the driver frees an object": (
        """
        class SlowToFree(int):
            def __del__(self, time=time):
                time.sleep(0.5)

        class Port(SilentPort):
            def inWaiting(self): return SlowToFree(0)

        driver = QM4410("unused")
        driver.ser = Port()
    """,
        dedent("""
        threading.Thread(target=ns["driver"].read_dev_status, daemon=True).start()
        del ns
        time.sleep(0.2)
    """)
        + dedent(SLOW_TO_GO).format(seconds=1.0),
    ),
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_exit_with_daemon_threads_in_the_driver(scenario):
    worker, main = SCENARIOS[scenario]
    script = f"import threading, time\nns = {{}}\nexec({dedent(WORKER) + dedent(worker)!r}, ns)\n" + main
    runs = [subprocess.Popen([sys.executable, "-c", script], stderr=subprocess.PIPE) for _ in range(6)]
    outcomes = []
    for run in runs:
        try:
            outcomes.append((run.wait(timeout=10), run.stderr.read().decode()))
        except subprocess.TimeoutExpired:
            run.kill()
            outcomes.append(("hung", run.stderr.read().decode()))
        run.stderr.close()
    assert [code for code, _ in outcomes] == [0] * len(runs), outcomes
