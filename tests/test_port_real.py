"""The driver against a pseudo-terminal, with the real lsof and pyserial.

The test keeps the master side and answers the identity request there; no
descriptor of the slave side stays open in this process except the one the
driver opens.
"""

import errno
import os
import select
import subprocess
import sys
import threading
import time
import tty
import types

import pytest
from fakes import FRAME_LENGTH, identity_reply

import qm4410

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="needs Linux pseudo-terminals")

BUSY = "serial port already opened!, Please close and try" + " " * 23 + "again!"


class Responder(threading.Thread):
    """Answers every identity request that arrives on the master side."""

    def __init__(self, master, model):
        super().__init__(daemon=True)
        self.master, self.model = master, model
        self.requests = []
        self.stopping = threading.Event()

    def run(self):
        pending = bytearray()
        while not self.stopping.is_set():
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.master, 256)
            except OSError as error:
                if error.errno != errno.EIO:  # EIO: nobody has the slave open
                    raise
                time.sleep(0.01)
                continue
            pending += chunk
            while len(pending) >= FRAME_LENGTH:
                if pending[0] != 0xAA:
                    del pending[0]
                    continue
                request = bytes(pending[:FRAME_LENGTH])
                del pending[:FRAME_LENGTH]
                self.requests.append(request)
                if request[2] == 0x31:
                    os.write(self.master, identity_reply(self.model, addr=3))

    def stop(self):
        self.stopping.set()
        self.join(timeout=5)


@pytest.fixture
def pty_port():
    master, slave = os.openpty()
    tty.setraw(slave)
    path = os.ttyname(slave)
    os.close(slave)
    responders = []

    def respond(model="4410"):
        responder = Responder(master, model)
        responder.start()
        responders.append(responder)
        return responder

    yield path, respond
    for responder in responders:
        responder.stop()
    os.close(master)


def holders(path):
    """lsof's report on the path: empty when no process has it open."""
    return subprocess.run(["lsof", path], capture_output=True).stdout


def own_descriptors(path):
    found = []
    for fd in os.listdir("/proc/self/fd"):
        try:
            if os.readlink(f"/proc/self/fd/{fd}") == path:
                found.append(int(fd))
        except OSError:
            pass
    return found


def test_open_busy_close_cycle(pty_port, capsys):
    path, respond = pty_port
    responder = respond("4410")
    drv = qm4410.QM4410(path)
    assert own_descriptors(path) == [] and holders(path) == b""
    assert drv.check_port_available() is True

    assert drv.open() is True
    assert capsys.readouterr().out == ""
    assert drv.ser.is_open and drv.ser.baudrate == 4800 and drv.ser.timeout == 50
    assert len(own_descriptors(path)) == 1
    assert str(os.getpid()).encode() in holders(path)
    assert responder.requests[0][:3] == bytes([0xAA, 0xFF, 0x31])
    assert drv.show_device_version() == {"model": "4410", "SN": "076787041", "soft_version": 373}

    port = drv.ser
    assert drv.open() is False
    assert capsys.readouterr().out == BUSY + "\n"
    assert drv.ser is port and port.is_open

    assert drv.close() is None
    assert drv.ser is port and not port.is_open
    assert own_descriptors(path) == [] and holders(path) == b""
    assert drv.check_port_available() is True


@pytest.mark.parametrize("model", ["4499", None])
def test_rejected_supply_releases_the_port(pty_port, model, capsys):
    path, respond = pty_port
    if model is not None:
        respond(model)
    drv = qm4410.QM4410(path)
    assert drv.open() is False
    assert capsys.readouterr().out == ""
    assert not drv.ser.is_open
    assert own_descriptors(path) == [] and holders(path) == b""


def test_failed_identity_read_leaves_nothing_open(pty_port, capsys):
    path, _ = pty_port
    drv = qm4410.QM4410(path)

    def read_device_version():
        raise RuntimeError("identity read blew up")

    drv._QM4410__read_device_version = read_device_version
    assert drv.open() is False
    assert capsys.readouterr().out == "unexpected identity read blew up\n"
    assert not drv.ser.is_open
    assert own_descriptors(path) == []
    assert holders(path) == b""
    assert drv.check_port_available() is True


@pytest.mark.parametrize("name", ["{path}", "spy://{path}?file=/dev/null"])
def test_second_open_that_passed_the_check_is_refused_by_the_lock(pty_port, name, capsys):
    path, respond = pty_port
    respond("4410")
    holder = qm4410.QM4410(path)
    assert holder.open() is True
    latecomer = qm4410.QM4410(name.format(path=path))
    latecomer.check_port_available = lambda: True  # both checked before either opened
    assert latecomer.open() is False
    refusal = f"Cannot open serial port[Errno {errno.EWOULDBLOCK}] Could not exclusively lock port "
    assert capsys.readouterr().out.startswith(refusal)
    assert not hasattr(latecomer, "ser") and len(own_descriptors(path)) == 1
    holder.close()
    assert latecomer.open() is True
    latecomer.close()


def test_url_of_the_device_is_checked_as_the_device(pty_port, monkeypatch):
    path, respond = pty_port
    respond("4410")
    url = f"spy://{path}?file=/dev/null"
    drv = qm4410.QM4410(url)
    assert drv.check_port_available() is True
    assert drv.open() is True
    assert drv.check_port_available() is False and qm4410.QM4410(path).check_port_available() is False
    drv.close()
    monkeypatch.setattr(qm4410, "platform", types.SimpleNamespace(system=lambda: "Windows"))
    assert drv.check_port_available() is True  # the trial open, of the device
    assert own_descriptors(path) == []


@pytest.mark.parametrize("kind", ["device", "URL", "caller's"])
def test_a_command_after_close_raises_what_the_ports_write_raises(pty_port, kind):
    import serial

    path, respond = pty_port
    respond("4410")
    drv = qm4410.QM4410(f"spy://{path}?file=/dev/null" if kind == "URL" else path)
    if kind == "caller's":
        drv.ser = serial.Serial(path, 4800, timeout=1)
        drv._QM4410__addr = 1
    else:
        assert drv.open() is True
    drv.close()
    for command in (drv.read_dev_status, lambda: drv.set_out_voltage(1.0)):
        with pytest.raises(serial.PortNotOpenError):
            command()
