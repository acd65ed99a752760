"""The interpreter may end while daemon threads are inside a transaction."""
import subprocess
import sys
import textwrap

# Threads that keep asking a silent supply, with requests built as lists (a
# patched checksum method), and a last object whose finaliser keeps the
# interpreter in its shutdown, GIL given up, while the threads wake from their
# pauses: each is then ended from inside the driver's C++ frames.
SCRIPT = textwrap.dedent("""
    import threading, time
    import qm4410
    from qm4410 import QM4410

    class SilentPort:
        def write(self, data): pass
        def inWaiting(self): return 0
        def read(self, n): return b""

    def cal_crc(self, data):
        data[-1] = sum(data[:-1]) & 0xFF

    QM4410._QM4410__cal_crc = cal_crc
    qm4410.time = time

    def keep_asking():
        driver = QM4410("unused")
        driver.ser = SilentPort()
        while True:
            driver.read_dev_status()

    class SlowToGo:
        def __del__(self):
            time.sleep(0.3)

    for _ in range(4):
        threading.Thread(target=keep_asking, daemon=True).start()
    time.sleep(0.05)
    last_object = SlowToGo()
""")


def test_exit_with_daemon_threads_mid_transaction():
    # The crash this guards against came in about one exit of five.
    runs = [subprocess.Popen([sys.executable, "-c", SCRIPT], stderr=subprocess.PIPE) for _ in range(8)]
    outcomes = [(run.wait(timeout=60), run.stderr.read().decode()) for run in runs]
    for run in runs:
        run.stderr.close()
    assert [code for code, _ in outcomes] == [0] * len(runs), outcomes
