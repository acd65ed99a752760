"""The held supply between its clients, on a fake port: a second copy of one
client's reply is read away before another client's request, and a reply
that may be another request's reaches no client of the supply's own
protocol."""

import time

import pytest
from fakes import READ_STATUS, SET_VOLTAGE, frame

from qm4410.server import Asker, HeldSupply
from qm4410.server import held_supply as held_supply_module

REQUEST = frame(1, READ_STATUS)
REPLY = frame(1, READ_STATUS, b"\x01\x02\x03")
OWN = frame(1, READ_STATUS, b"\x04\x05\x06")  # the reply to the next request, told from REPLY
OTHER_WORD = frame(1, SET_VOLTAGE)  # answers a set-point request, not a status request
FIRST, SECOND = Asker("rfc2217", "the first client"), Asker("rfc2217", "the second client")


@pytest.fixture
def supply(monkeypatch, drv):
    held = HeldSupply(drv.port)
    monkeypatch.setattr(held_supply_module, "open_driver", lambda port: drv)
    held.open()
    return held


def exchange(supply, asker):
    return supply.exchange(REQUEST, asker, time.monotonic() + 60)


@pytest.mark.parametrize("second, taken", [(SECOND, OWN), (FIRST, None)])
def test_a_copy_of_another_clients_reply_is_read_away_first(supply, port, second, taken):
    # The reply at the second poll, its copy two polls later: at the next
    # request's first poll, unless the line was kept quiet before it. The
    # same client's next exchange keeps no quiet, and its driver's rule takes
    # the copy for a doubt.
    port.reply(b"", REPLY, b"", REPLY)
    assert exchange(supply, FIRST).reply == REPLY
    port.reply(b"", OWN)
    assert exchange(supply, second).reply == taken


def test_a_reply_that_may_be_another_requests_reaches_no_client(supply, port):
    port.reply(REPLY)
    assert exchange(supply, FIRST).reply == REPLY
    port.reply(OTHER_WORD, REPLY)
    reply, outcome = exchange(supply, FIRST)
    assert reply is None and "may be another request's reply" in outcome
