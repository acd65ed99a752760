"""URL ports that cannot be opened, through the real pyserial: each is one
printed line and False, and leaves no socket, thread or attribute behind."""

import os
import socket
import sys
import threading

import pytest

import qm4410

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="counts descriptors in /proc")


def closed_port() -> int:
    """A loopback port on which nothing listens."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@pytest.mark.parametrize(
    "url, printed",
    [
        ("nosuchscheme://labpi:4001", "unexpected invalid URL, protocol 'nosuchscheme' not known"),
        (
            "rfc2217://127.0.0.1:{closed}",
            "Cannot open serial portCould not open port rfc2217://127.0.0.1:{closed}: [Errno 111] Connection refused",
        ),
        (
            "rfc2217://no-such-host.invalid:4001",
            "Cannot open serial portCould not open port rfc2217://no-such-host.invalid:4001: [Errno -",
        ),
        (
            "rfc2217://127.0.0.1:4001?no_such_option",
            "Cannot open serial portCould not open port rfc2217://127.0.0.1:4001?no_such_option: expected a string",
        ),
        ("socket://127.0.0.1:{closed}", "Cannot open serial port socket://127.0.0.1:{closed}: "),
        ("hwgrep://^no port is named this$", "Cannot open serial portno ports found matching regexp"),
        (
            "spy:///dev/qm4410-nothing-here",
            "Cannot open serial port[Errno 2] could not open port /dev/qm4410-nothing-here: ",
        ),
    ],
    ids=["unknown scheme", "refused", "unknown host", "malformed", "raw socket", "no device found", "missing device"],
)
def test_url_that_cannot_be_opened(url, printed, capsys):
    closed = closed_port()
    url, printed = url.format(closed=closed), printed.format(closed=closed)
    descriptors, threads = len(os.listdir("/proc/self/fd")), threading.active_count()
    drv = qm4410.QM4410(url)
    assert drv.open() is False
    [line] = capsys.readouterr().out.splitlines()
    assert line.startswith(printed)
    assert not hasattr(drv, "ser")
    assert (len(os.listdir("/proc/self/fd")), threading.active_count()) == (descriptors, threads)
