"""Servers, and the clients of each endpoint: PyVISA with pyvisa-py for
SCPI, the driver itself over RFC 2217."""

import signal

import pytest
import pyvisa
from serving import Server


@pytest.fixture(scope="session")
def visa():
    manager = pyvisa.ResourceManager("@py")
    yield manager
    manager.close()


@pytest.fixture(scope="module")
def start_server(tmp_path_factory):
    """Start servers for the module; each is stopped at its end, and must
    stop as SIGTERM asks, without a traceback in its log."""
    started = []

    def start(*options) -> Server:
        server = Server(options, tmp_path_factory.mktemp("serve") / "serve.log")
        started.append(server)
        return server

    yield start
    for server in started:
        assert server.stop() == 128 + signal.SIGTERM, server.log()
        assert "Traceback" not in server.log()
