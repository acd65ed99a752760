"""A supply of the tests' own on a pseudo-terminal, for faults the virtual
supply does not make: answering late by any time, twice, or with the word of
another request, or after a frame from another bus address, after a chosen
latency; or falling silent for good.

Every reply carries the number of the request it answers (from 1, in the
order received) in bytes 20..23, which no decoder reads; a status reply also
carries it in its measured current, so a test can tell from any result which
request's reply the driver took (a frame from another address carries 0).
Each request is kept in `requests` by its number, and the state it held when
it answered it in `states`.
"""
import heapq
import os
import select
import struct
import threading
import time
import tty

LENGTH = 26
REQUEST_WORDS = (0x20, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x31, 0x32)
TWICE_APART = 0.02
OTHER_ADDRESS = 2
OTHER_BEFORE = 0.02  # how long before the own reply the other address's frame comes


def seal(frame):
    frame[25] = sum(frame[:25]) & 0xFF
    return bytes(frame)


class PeerSupply(threading.Thread):
    def __init__(self, *, echo, latency, fault=None, every=10, late_by=0.35, apart=TWICE_APART):
        super().__init__(daemon=True)
        self.echo, self.latency, self.fault, self.every, self.late_by = echo, latency, fault, every, late_by
        self.apart = apart
        self.master, slave = os.openpty()
        tty.setraw(slave)
        self.port = os.ttyname(slave)
        os.close(slave)  # a free port, as lsof sees it, until the driver opens it
        self.received = 0
        self.faults = 0
        self.requests = {}
        self.states = {}
        self.not_replies = set()  # requests answered with a frame that is no reply to them
        self.state = {"voltage_set": 0, "current_set": 0, "voltage_max_set": 30000, "out": 0, "remote": 0}
        self._due = []  # (time, order, bytes)
        self._order = 0
        self._stopping = threading.Event()

    def stop(self):
        self._stopping.set()
        self.join(5)
        os.close(self.master)

    def run(self):
        pending = b""
        while not self._stopping.is_set():
            now = time.monotonic()
            while self._due and self._due[0][0] <= now:
                self._send(heapq.heappop(self._due)[2])
            timeout = min(0.05, self._due[0][0] - now) if self._due else 0.05
            readable, _, _ = select.select([self.master], [], [], max(timeout, 0))
            if not readable:
                continue
            try:
                pending += os.read(self.master, 4096)
            except OSError:  # nobody has the port open: wait for the next client
                time.sleep(0.005)
                continue
            while len(pending) >= LENGTH:
                start = pending.find(b"\xaa")
                if start < 0:
                    pending = b""
                    break
                pending = pending[start:]
                if len(pending) < LENGTH:
                    break
                request, pending = pending[:LENGTH], pending[LENGTH:]
                self._answer(request, time.monotonic())

    def _send(self, data):
        try:
            os.write(self.master, data)
        except OSError:
            pass  # the port is closed: the reply is lost, as on a real line

    def _schedule(self, at, data):
        self._order += 1
        heapq.heappush(self._due, (at, self._order, data))

    def _answer(self, request, now):
        self.received += 1
        number = self.received
        self.requests[number] = request
        word = request[2]
        self._apply(word, request)
        self.states[number] = dict(self.state)
        reply = self._reply(word, number)
        if self.fault == "silent":  # from request `every` on, as a supply switched off at the mains
            if number >= self.every:
                self.faults += 1
            else:
                self._schedule(now + self.latency, reply)
            return
        faulty = self.fault is not None and number % self.every == 0
        if not faulty:
            self._schedule(now + self.latency, reply)
            return
        self.faults += 1
        if self.fault == "late":
            self._schedule(now + self.late_by, reply)
        elif self.fault == "twice":
            self._schedule(now + self.latency, reply)
            self._schedule(now + self.latency + self.apart, reply)
        elif self.fault == "other word":
            wrong = REQUEST_WORDS[(REQUEST_WORDS.index(word) + 1) % len(REQUEST_WORDS)] if word in REQUEST_WORDS else 0x20
            frame = bytearray(reply)
            frame[2] = wrong
            self.not_replies.add(number)
            self._schedule(now + self.latency, seal(frame))
        elif self.fault == "other address":
            frame = bytearray(self._reply(word, 0))
            frame[1] = OTHER_ADDRESS
            self._schedule(now + self.latency, seal(frame))
            self._schedule(now + self.latency + OTHER_BEFORE, reply)
        else:
            raise ValueError(self.fault)

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

    def _reply(self, word, number):
        frame = bytearray(LENGTH)
        frame[0], frame[1], frame[2] = 0xAA, 1, word if self.echo else 0x12
        s = self.state
        if word == 0x26:
            flags = s["out"] | (1 << 2) | (s["remote"] << 7)
            frame[3:20] = struct.pack("<HIBHII", number & 0xFFFF, s["voltage_set"] if s["out"] else 0, flags,
                                      s["current_set"], s["voltage_max_set"], s["voltage_set"])
        elif word == 0x31:
            frame[3:7] = b"4410"
            frame[10:19] = b"000000001"
        frame[20:24] = number.to_bytes(4, "little")
        return seal(frame)


if __name__ == "__main__":
    # A supply in a process of its own, so that the threads of a test that
    # keeps many clients busy cannot put off its replies: its settings as
    # JSON in the first argument; it prints its port, answers until its
    # standard input closes, then prints the requests it received as JSON,
    # hex by number.
    import json
    import sys

    supply = PeerSupply(**json.loads(sys.argv[1]))
    supply.start()
    print(supply.port, flush=True)
    sys.stdin.read()
    supply.stop()
    print(json.dumps({number: request.hex() for number, request in supply.requests.items()}))
