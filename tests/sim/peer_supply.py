"""A supply of the tests' own, for faults the virtual supply does not make:
answering late by any time, twice, with the word of another request, held
back until the next request, after a frame from another bus address; or
falling silent for good. Its line may be fast, like a USB adapter (the
supply answers, then the adapter passes the reply on at the next tick of its
16 ms timer), one whose replies are each delayed by up to as long again (a
line through a network, say), or paced at 4800 baud.

`SupplyOnALine` is the supply and its line, in whatever time its caller
keeps. `PeerSupply` runs it on a pseudo-terminal in real time, for a program
to open; `VirtualPeer` is a driver's port in virtual time (fakes.FakeClock as
the driver's `time`), where the moments it answers at hold exactly whatever
else the machine is doing, and a long campaign takes a moment.

Every reply carries the number of the request it answers (from 1, in the
order received) in bytes 20..23, which no decoder reads, and a setting's
reply its value in bytes 3..6; a status reply also
carries it in its measured current, so a test can tell from any result which
request's reply the driver took (a frame from another address carries no
request's number, and 0 as its current). Each request is kept in `requests`
by its number, and the state it held when it answered it in `states`.
Run as a program, it is a supply in a process of its own (see the end).
"""

import heapq
import os
import random
import select
import struct
import sys
import threading
import time
import tty

from fakes import FRAME_LENGTH, REQUEST_WORDS, sealed

WORDS = sorted(REQUEST_WORDS)  # "other word" answers with the next of these
OTHER_ADDRESS_LEAD = 0.02  # how long before the own reply another address's frame comes
ADAPTER_TICK = 0.016  # a USB adapter's timer: what the supply sent is passed on at its next tick
BYTE_TIME = 10 / 4800  # one byte with its start and stop bits at 4800 baud
FAULTS = ("late", "twice", "other word", "other address", "held", "silent")


class SupplyOnALine:
    """`latency`: seconds from a request to its reply, or a function of the
    request's number giving them. `line`: "fast", "usb", "jitter" or "4800". Every
    `every`th request meets the fault, up to request `last_fault`; a late
    reply comes `late_by` after its request, a second copy `apart` after the
    first. The caller hands it what the host sent (`hear`) and takes what
    reaches the host (`reaching_host`), each at a moment of its time."""

    def __init__(self, *, echo, latency, fault=None, every=10, late_by=0.35, apart=0.02, line="fast", last_fault=None):
        assert fault is None or fault in FAULTS, fault
        self.echo, self.fault, self.every, self.late_by, self.apart = echo, fault, every, late_by, apart
        self.latency = latency if callable(latency) else (lambda number: latency)
        self.line, self.last_fault = line, last_fault
        self.received = 0
        self.faults = 0
        self.states = {}
        self.requests = {}
        self.not_replies = set()  # requests answered with a frame that is no reply to them
        self.state = {"voltage_set": 0, "current_set": 0, "voltage_max_set": 30000, "out": 0, "remote": 0}
        self._pending = b""
        self._held = None
        self._due = []  # (time, order, bytes, whether they leave the supply or reach the host then)
        self._order = 0
        self._line_free = 0.0  # a paced line sends one byte at a time; no frame overtakes another
        self._jitter = random.Random(4410)

    def hear(self, data, now):
        """`data` from the host has come in at `now`: each whole request in it is answered."""
        self._pending += data
        while len(self._pending) >= FRAME_LENGTH:
            start = self._pending.find(b"\xaa")
            if start < 0:
                self._pending = b""
                break
            self._pending = self._pending[start:]
            if len(self._pending) < FRAME_LENGTH:
                break
            request, self._pending = self._pending[:FRAME_LENGTH], self._pending[FRAME_LENGTH:]
            # On a paced line the request itself takes its time to come in.
            self._answer(request, now + (FRAME_LENGTH * BYTE_TIME if self.line == "4800" else 0))

    def reaching_host(self, now):
        """What reaches the host by `now`, in the pieces the line passes on."""
        pieces = []
        while self._due and self._due[0][0] <= now:
            at, _, data, sent = heapq.heappop(self._due)
            if sent:
                self._pass_on(at, data)
            else:
                pieces.append(data)
        return pieces

    def next_moment(self):
        """When something next leaves the supply or reaches the host; None: nothing is on its way."""
        return self._due[0][0] if self._due else None

    def _push(self, at, data, sent=False):
        """`data` reaches the host at `at`; or, `sent`, leaves the supply then."""
        self._order += 1
        heapq.heappush(self._due, (at, self._order, data, sent))

    def _send(self, at, data):
        self._push(at, data, sent=True)

    def _pass_on(self, at, data):
        """What the supply sent at `at` reaches the host as its line passes it on."""
        if self.line == "usb":
            self._push((at // ADAPTER_TICK + 1) * ADAPTER_TICK, data)
        elif self.line == "jitter":
            self._line_free = max(at + self._jitter.uniform(0, ADAPTER_TICK), self._line_free)
            self._push(self._line_free, data)
        elif self.line == "4800":
            start = max(at, self._line_free)
            for i in range(len(data)):
                self._push(start + (i + 1) * BYTE_TIME, data[i : i + 1])
            self._line_free = start + len(data) * BYTE_TIME
        else:
            self._push(at, data)

    def _answer(self, request, now):
        self.received += 1
        number = self.received
        word = request[2]
        self._apply(word, request)
        self.states[number] = dict(self.state)
        self.requests[number] = request
        reply = self._reply(word, number, request)
        due = now + self.latency(number)
        if self._held is not None:  # what was held back goes out as this request comes
            self._send(now, self._held)
            self._held = None
        if self.fault == "silent":  # from request `every` on, as a supply switched off at the mains
            if number >= self.every:
                self.faults += 1
            else:
                self._send(due, reply)
            return
        faulty = (
            self.fault is not None
            and number % self.every == 0
            and (self.last_fault is None or number <= self.last_fault)
        )
        if not faulty:
            self._send(due, reply)
            return
        self.faults += 1
        if self.fault == "late":
            self._send(now + self.late_by, reply)
        elif self.fault == "twice":
            self._send(due, reply)
            self._send(due + self.apart, reply)
        elif self.fault == "held":
            self._held = reply
        elif self.fault == "other address":
            other = bytearray(self._reply(word, 0, request))
            other[1] = 2
            other[20:24] = (number + 1_000_000).to_bytes(4, "little")  # no request's number
            self._send(due, sealed(other))
            self._send(due + OTHER_ADDRESS_LEAD, reply)
        else:  # "other word"
            wrong = WORDS[(WORDS.index(word) + 1) % len(WORDS)] if word in WORDS else 0x20
            frame = bytearray(reply)
            frame[2] = wrong
            self.not_replies.add(number)
            self._send(due, sealed(frame))

    def _apply(self, word, request):
        value = int.from_bytes(request[3:7], "little")
        s = self.state
        if word == 0x20:
            s["remote"] = request[3] & 1
        elif word == 0x21:
            s["out"] = request[3] & 1
        elif word == 0x22:
            s["voltage_max_set"] = value
        elif word == 0x23:
            s["voltage_set"] = value
        elif word == 0x24:
            s["current_set"] = value & 0xFFFF
        elif word == 0x32:
            s.update(voltage_set=0, current_set=0, voltage_max_set=30000, out=0, remote=0)

    def _reply(self, word, number, request):
        frame = bytearray(FRAME_LENGTH)
        frame[0], frame[1], frame[2] = 0xAA, 1, word if self.echo else 0x12
        frame[3:7] = request[3:7]  # a setting's value; a reading's replaced below
        s = self.state
        if word == 0x26:
            flags = s["out"] | (1 << 2) | (s["remote"] << 7)
            frame[3:20] = struct.pack(
                "<HIBHII",
                number & 0xFFFF,
                s["voltage_set"] if s["out"] else 0,
                flags,
                s["current_set"],
                s["voltage_max_set"],
                s["voltage_set"],
            )
        elif word == 0x31:
            frame[3:7] = b"4410"
            frame[10:19] = b"000000001"
        frame[20:24] = number.to_bytes(4, "little")
        return sealed(frame)


class PeerSupply(SupplyOnALine, threading.Thread):
    """The supply on a pseudo-terminal, answering in real time from a thread
    of its own: `port` is the path to open; `start()`, then `stop()`."""

    def __init__(self, **settings):
        SupplyOnALine.__init__(self, **settings)
        threading.Thread.__init__(self, daemon=True)
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.port = os.ttyname(slave)
        os.close(slave)  # a free port, as lsof sees it, until the driver opens it
        self._stopping = threading.Event()

    def stop(self):
        self._stopping.set()
        self.join(5)
        os.close(self.master)

    def run(self):
        while not self._stopping.is_set():
            now = time.monotonic()
            for piece in self.reaching_host(now):
                self._write(piece)
            coming = self.next_moment()
            timeout = min(0.05, coming - now) if coming is not None else 0.05
            readable, _, _ = select.select([self.master], [], [], max(timeout, 0))
            if not readable:
                continue
            try:
                data = os.read(self.master, 4096)
            except OSError:  # nobody has the port open: wait for the next client
                time.sleep(0.005)
                continue
            self.hear(data, time.monotonic())

    def _write(self, data):
        try:
            os.write(self.master, data)
        except OSError:
            pass  # the port is closed: the reply is lost, as on a real line


class VirtualPeer(SupplyOnALine):
    """The supply as a driver's port in virtual time: the port object a
    driver writes to and polls, which knows no time but `clock.now`, the
    driver's FakeClock. `opened()` is what opening the port gives: what came
    while nobody had it open is lost, and pyserial empties the input buffer
    as it opens a port."""

    def __init__(self, clock, port, **settings):
        super().__init__(**settings)
        self.clock, self.port = clock, port
        self.buffer = bytearray()

    def opened(self):
        self.reaching_host(self.clock.now)
        self.buffer.clear()
        return self

    def write(self, data):
        self.hear(bytes(data), self.clock.now)
        return len(data)

    def inWaiting(self):
        for piece in self.reaching_host(self.clock.now):
            self.buffer += piece
        return len(self.buffer)

    def read(self, size):
        data = bytes(self.buffer[:size])
        del self.buffer[:size]
        return data

    def close(self):
        pass


if __name__ == "__main__":
    # A supply in a process of its own, so that the threads of a test that
    # keeps many clients busy cannot put off its replies: its settings as
    # JSON in the first argument; it prints its port, answers until its
    # standard input closes, then prints the requests it received as JSON,
    # hex by number.
    import json

    supply = PeerSupply(**json.loads(sys.argv[1]))
    supply.start()
    print(supply.port, flush=True)
    sys.stdin.read()
    supply.stop()
    print(json.dumps({number: request.hex() for number, request in supply.requests.items()}))
