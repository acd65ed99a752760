"""ser2net serving one device over RFC 2217 on a free loopback port, started
with a configuration of its own, as the README tells users to run it."""

import os
import socket
import subprocess
import time

CONFIGURATION = """\
connection: &supply
  accepter: telnet(rfc2217),tcp,127.0.0.1,{port}
  connector: serialdev,{device},4800n81,local
"""
LISTENING = "0A"  # the state of a listening socket in /proc/net/tcp


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def listening(port: int) -> bool:
    """Whether something listens on 127.0.0.1:port. Read from the kernel's
    table: a probing connection would be a client that ser2net serves."""
    local = f"0100007F:{port:04X}"
    with open("/proc/net/tcp") as table:
        return any(line.split()[1:4:2] == [local, LISTENING] for line in list(table)[1:])


class Ser2net:
    def __init__(self, device: str, directory):
        self.port = free_port()
        configuration = directory / f"ser2net-{self.port}.yaml"
        configuration.write_text(CONFIGURATION.format(port=self.port, device=device))
        self.log_path = directory / f"ser2net-{self.port}.log"
        # ser2net is not ours to check: it runs without the sanitizer runtime
        # that a sanitizer pass preloads into every process (under which it
        # would not even stop on SIGTERM).
        environment = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
        with open(self.log_path, "w") as log:
            # -n: in the foreground, so that stopping this process stops it.
            self.proc = subprocess.Popen(
                ["ser2net", "-n", "-c", str(configuration)], stdout=log, stderr=log, env=environment
            )
        deadline = time.monotonic() + 10
        while not listening(self.port):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"ser2net did not listen on port {self.port}: {self.log_path.read_text()}")
            time.sleep(0.01)

    def url(self) -> str:
        # A pseudo-terminal has no modem lines: ser2net cannot confirm that
        # the client's flow-control setting took, so the client must not wait.
        return f"rfc2217://127.0.0.1:{self.port}?ign_set_control"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
