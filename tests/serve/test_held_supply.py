"""The held supply between its clients, on a fake port: a second copy of one
client's reply (or of one shared reading's) is read away before another
client's request (or the next reading), and a reply that may be another
request's reaches no client of the supply's own protocol."""

import time

import pytest
from fakes import READ_STATUS, SET_CURRENT, SET_VOLTAGE, frame

from qm4410.server import Asker, HeldSupply
from qm4410.server import held_supply as held_supply_module

REQUEST = frame(1, READ_STATUS)
REPLY = frame(1, READ_STATUS, b"\x01\x02\x03")
OWN = frame(1, READ_STATUS, b"\x04\x05\x06")  # the reply to the next request, told from REPLY
OTHER_WORD = frame(1, SET_VOLTAGE)  # answers a set-point request, not a status request
SETTING = frame(1, SET_CURRENT, b"\x10")  # replies to it: REPLY and OWN's data, its word
SETTING_REPLY, SETTING_OWN = frame(1, SET_CURRENT, REPLY[3:25]), frame(1, SET_CURRENT, OWN[3:25])
FIRST, SECOND = Asker("rfc2217", "the first client"), Asker("rfc2217", "the second client")


@pytest.fixture
def supply(monkeypatch, drv):
    held = HeldSupply(drv.port, max_age=0)  # every status request a reading of its own
    monkeypatch.setattr(held_supply_module, "open_driver", lambda port: drv)
    held.open()
    return held


def exchange(supply, asker, request=REQUEST):
    return supply.exchange(request, asker, time.monotonic() + 60)


@pytest.mark.parametrize(
    "request_frame, reply, own, second, taken",
    [
        (SETTING, SETTING_REPLY, SETTING_OWN, SECOND, SETTING_OWN),
        (SETTING, SETTING_REPLY, SETTING_OWN, FIRST, None),
        (REQUEST, REPLY, OWN, FIRST, OWN),  # two readings: each is for every reader
    ],
)
def test_a_copy_of_another_clients_reply_is_read_away_first(supply, port, request_frame, reply, own, second, taken):
    # The reply at the second poll, its copy two polls later: at the next
    # request's first poll, unless the line was kept quiet before it. The
    # same client's next exchange keeps no quiet, and its driver's rule takes
    # the copy for a doubt.
    port.reply(b"", reply, b"", reply)
    assert exchange(supply, FIRST, request_frame).reply == reply
    port.reply(b"", own)
    assert exchange(supply, second, request_frame).reply == taken


def test_a_reply_that_may_be_another_requests_reaches_no_client(supply, port):
    port.reply(REPLY)
    assert exchange(supply, FIRST).reply == REPLY
    port.reply(OTHER_WORD, REPLY)
    reply, outcome = exchange(supply, FIRST)
    assert reply is None and "may be another request's reply" in outcome
