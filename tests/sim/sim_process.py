"""A qm4410-sim process for the tests, with its port and its -v log."""

import signal
import subprocess

import serial


class Sim:
    """One running simulator; stderr goes to a file so -v cannot block it."""

    def __init__(self, binary, args, log_path):
        self.log_path = log_path
        with open(log_path, "w") as log:
            self.proc = subprocess.Popen([binary, *args], stdout=subprocess.PIPE, stderr=log, text=True)
        self.port = self.proc.stdout.readline().strip()
        assert self.port.startswith("/dev/"), f"first line was {self.port!r}, log: {self.log()}"

    def connect(self):
        return serial.Serial(self.port, 4800, timeout=1)

    def log(self):
        with open(self.log_path) as log:
            return log.read()

    def stop(self, number=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            self.proc.send_signal(number)
        return self.proc.wait(timeout)
