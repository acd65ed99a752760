"""One exchange on the line: write, poll every 10 ms up to 30 times, validate."""

import faulthandler
import threading
import time

import pytest
from fakes import FakeClock, FakePort, frame, identity_reply

import qm4410
from qm4410 import QM4410

REQUEST = [0xAA, 1, 0x26] + [0] * 22 + [0xD1]
REPLY = frame(1, 0x26, b"\x01\x02\x03")
OTHER = frame(1, 0x12, b"\x09")  # a frame this request could take for its reply


def transact(drv, cmd=None):
    return drv._QM4410__write_and_read(list(REQUEST) if cmd is None else cmd)


def poll(n):
    return [("sleep", 0.01), ("inWaiting", n)]


LOOK = [("inWaiting", 0)]  # the look at what waits, before every write


def test_reply_waiting_at_first_poll(drv, port, log):
    port.reply(REPLY)
    result = transact(drv)
    assert result == REPLY and type(result) is bytes and result is port.reads[-1]
    assert log == LOOK + [("write", bytes(REQUEST))] + poll(26) + [("read", 26)]


def test_reply_in_pieces_is_read_once_whole(drv, port, log):
    port.reply(b"", REPLY[:10], REPLY[10:25], REPLY[25:])
    assert transact(drv) == REPLY
    assert log == LOOK + [("write", bytes(REQUEST))] + poll(0) + poll(10) + poll(25) + poll(26) + [("read", 26)]


@pytest.mark.parametrize(
    "chunks, waiting",
    [
        ((), 0),  # nothing comes
        ((REPLY[:25],), 25),  # short reply
        ((REPLY + b"\x00",), 27),  # more than one frame waiting
    ],
)
def test_no_whole_frame_means_thirty_polls_and_none(drv, port, log, chunks, waiting):
    port.reply(*chunks)
    assert transact(drv) is None
    assert log[:2] == LOOK + [("write", bytes(REQUEST))]
    assert log[2:4] == poll(waiting)
    assert len(log) == 62 and log[2::2] == [("sleep", 0.01)] * 30
    assert all(name == "inWaiting" for name, _ in log[3::2])


@pytest.mark.parametrize(
    "bad",
    [
        b"\xab" + REPLY[1:25] + bytes([(REPLY[25] + 1) % 256]),  # start byte 0xAB, checksum right for it
        REPLY[:25] + bytes([(REPLY[25] + 1) % 256]),  # wrong checksum
    ],
)
def test_malformed_reply_is_none(drv, port, log, bad):
    assert sum(bad[:25]) & 0xFF == bad[25] or bad[0] == 0xAA
    port.reply(bad)
    assert transact(drv) is None
    assert log[-1] == ("read", 26) and len(log) == 5


@pytest.mark.parametrize("verdict", [False, True])
def test_checksum_verified_through_the_object(drv, port, verdict):
    seen = []
    drv._QM4410__check_crc = lambda data: seen.append(data) or verdict
    port.reply(REPLY[:25] + b"\x00")  # wrong checksum: only the patched check decides
    assert transact(drv) == (REPLY[:25] + b"\x00" if verdict else None)
    assert seen == [list(REPLY[:25]) + [0]] and type(seen[0]) is list


def test_arbitrary_list_is_written_unchanged(drv, port):
    assert transact(drv, [1, 2, 3]) is None
    assert port.writes() == [b"\x01\x02\x03"] and type(port.writes()[0]) is bytes


@pytest.mark.parametrize(
    "cmd, error",
    [
        ([0xAA] * 25 + [256], ValueError),
        ([0xAA, -1], ValueError),
        ([0xAA, "1"], TypeError),
        ([0xAA, 1.0], TypeError),
        (tuple(REQUEST), TypeError),
        (type("L", (list,), {})(REQUEST), TypeError),
        ({0: 0xAA}, TypeError),
    ],
)
def test_conversion_errors_send_nothing(drv, port, log, cmd, error):
    with pytest.raises(error) as err:
        transact(drv, cmd)
    if type(cmd) is not list:
        assert str(err.value).startswith("Argument 'cmd' has incorrect type (expected list, got ")
    assert log == []
    port.reply(REPLY)
    assert transact(drv) == REPLY  # still usable, and the line still in step: one look, then the write
    assert [name for name, _ in log[:2]] == ["inWaiting", "write"]


def test_missing_port_is_attribute_error(fake_time, log):
    drv = QM4410("/dev/ttyFAKE0")
    with pytest.raises(AttributeError, match="ser"):
        transact(drv)
    with pytest.raises(TypeError):  # the type check comes first
        transact(drv, (1, 2))
    assert log == []


def test_port_exception_passes_through_and_driver_stays_usable(drv, port):
    class Broken(Exception):
        pass

    def boom(data):
        raise Broken("line down")

    drv.ser = type("P", (), {"write": staticmethod(boom), "inWaiting": staticmethod(lambda: 0)})()
    with pytest.raises(Broken):
        transact(drv)
    drv.ser = port
    port.reply(REPLY)
    assert transact(drv) == REPLY


def test_late_reply_is_drained_before_next_request(drv, port, log):
    port.reply(*([b""] * 30 + [OTHER]))  # complete only after the 30th poll
    port.reply(REPLY)
    assert transact(drv) is None
    del log[:]
    assert transact(drv) == REPLY
    assert log == [("inWaiting", 26), ("read", 26), ("write", bytes(REQUEST))] + poll(26) + [("read", 26)]
    assert port.reads[0] == OTHER


def test_stray_bytes_before_a_request_are_read_away(drv, port, log):
    port.buffer += b"\x00\xaa\x01"
    port.reply(REPLY)
    port.reply(OTHER)
    assert transact(drv) == REPLY
    assert transact(drv) == OTHER
    # Part of a frame: one poll for the rest of it, which does not come.
    assert log == [("inWaiting", 3), ("read", 3)] + poll(0) + [("write", bytes(REQUEST))] + poll(26) + [
        ("read", 26)
    ] + LOOK + [("write", bytes(REQUEST))] + poll(26) + [("read", 26)]


def polls_before_writing(log):
    return sum(1 for entry in log[: log.index(("write", bytes(REQUEST)))] if entry[0] == "sleep")


def test_after_a_failure_the_next_two_requests_wait_one_window(drv, port, log):
    assert transact(drv) is None
    del log[:]
    port.reply(REPLY)
    assert transact(drv) == REPLY
    assert log[0] == ("inWaiting", 0) and 28 <= polls_before_writing(log) <= 30  # the clock only logs
    # The failed request's reply never showed: the one taken may have been it,
    # and the next request waits for this one's.
    del log[:]
    port.reply(REPLY)
    assert transact(drv) == REPLY and 28 <= polls_before_writing(log) <= 30
    del log[:]
    port.reply(REPLY)
    assert transact(drv) == REPLY and polls_before_writing(log) == 0  # in step again
    del log[:]
    assert transact(drv) is None  # a failure whose reply comes while the next request waits
    port.buffer += REPLY
    port.reply(REPLY)
    assert transact(drv) == REPLY and polls_before_writing(log[62:]) == 0  # read away at the look: in step


def test_late_reply_arriving_while_waiting_is_read_away(drv, port):
    port.reply(*([b""] * 35 + [OTHER]))  # lands at the 6th look of the next exchange
    assert transact(drv) is None
    port.reply(REPLY)
    assert transact(drv) == REPLY
    assert port.reads == [OTHER, REPLY] and polls_before_writing(port.log[62:]) == 5  # no wait once a frame has gone


@pytest.mark.parametrize(
    "first, taken",
    [
        (frame(1, 0x23), False),  # another request's reply: read away
        (frame(1, 0x31, b"4410"), False),
        (frame(1, 0x12, b"\x09"), True),  # the reply word: this request's
        (frame(1, 0x26, b"\x09"), True),  # this request's own word
        (frame(1, 0x99), True),  # no request's word
    ],
)
def test_reply_with_another_requests_word_is_not_taken(drv, port, first, taken):
    port.reply(first, REPLY)
    assert transact(drv) == (first if taken else REPLY)
    port.reply(first)
    assert transact(drv) == (first if taken else None)


def test_frame_much_sooner_than_usual_is_held_back(drv, port, log):
    slow = [b""] * 5 + [REPLY]  # this supply answers at the 6th poll
    port.reply(*slow)
    assert transact(drv) == REPLY
    port.reply(OTHER, *slow[1:])  # a left-over at the 1st poll, then the reply
    assert transact(drv) == REPLY and port.reads[-2:] == [OTHER, REPLY]
    del log[:]
    port.reply(*slow)  # two frames came for one request: the next waits a window for one still owed
    assert transact(drv) == REPLY and 28 <= polls_before_writing(log) <= 30
    del log[:]
    port.reply(b"", b"", b"", OTHER)  # only an early frame: the reply after all, two polls past the usual time
    assert transact(drv) == OTHER and len(log) == 2 + 2 * 8 + 1
    port.reply(b"", b"", b"", REPLY)  # and it sets the pace for the next
    assert transact(drv) == REPLY and port.reads[-1] == REPLY
    port.reply(REPLY, b"", REPLY[:25] + b"\x00")  # a malformed frame does not cost the held one
    assert transact(drv) == REPLY


@pytest.mark.parametrize(
    "early, reply, polls_before_next",
    [
        (b"", REPLY, 0),  # the reply at its usual time
        (OTHER, REPLY, 30),  # a frame that answers the wrong request, then the reply: a window
        (frame(2, 0x26), REPLY, 30),  # a frame from another address, then the reply: a window
        (frame(2, 0x26), b"", 30),  # another address's frame is no reply: a failure
    ],
)
def test_frames_that_answer_no_request_of_this_one(drv, port, log, early, reply, polls_before_next):
    port.reply(b"", b"", REPLY)
    assert transact(drv) == REPLY  # the supply answers at the 3rd poll
    port.reply(b"", early, reply)
    assert transact(drv) == (REPLY if reply else None)
    del log[:]
    port.reply(REPLY)
    assert transact(drv) == REPLY
    waited = polls_before_writing(log)
    assert waited == 0 if polls_before_next == 0 else 28 <= waited <= 30  # the clock only logs


def test_address_is_left_open_where_the_supply_may_answer_from_another(drv, port):
    stranger = frame(7, 0x12, b"\x05")
    drv._QM4410__addr = 255  # the identity read of open()
    port.reply(stranger)
    assert transact(drv, [0xAA, 255, 0x31] + [0] * 22 + [0xDA]) == stranger
    port.reply(stranger)
    assert drv.read_dev_status() is not None  # any request to 255: a supply answers it from its own address
    drv._QM4410__addr = 1
    port.reply(stranger)
    assert drv.set_new_addr(7) is True  # the reply to a change of address may come from either
    port.reply(stranger)
    assert drv.read_dev_status() is not None  # and so may every reply until the supply tells its address
    port.reply(identity_reply(addr=7))
    drv._QM4410__read_device_version()
    port.reply(frame(1, 0x26))
    assert drv.read_dev_status() is None  # known again: 7
    port.reply(frame(7, 0x26))
    assert drv.read_dev_status() is not None


def test_a_signal_handler_cannot_queue_behind_its_own_thread(fake_time):
    import signal

    drv = QM4410("/dev/ttyFAKE0")
    holder = holding_the_line(drv)
    refused = []

    def handler(signum, frame):
        try:
            transact(drv)
        except RuntimeError as error:
            refused.append(str(error))
            raise

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.2)
        with pytest.raises(RuntimeError, match="already waiting"):
            transact(drv)  # the handler runs while this waits for its turn
        assert refused == ["this thread is already waiting for a transaction on this driver"]
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        drv.ser.gate.set()
        holder.join(10)
    drv.ser.reply(REPLY)
    assert transact(drv) == REPLY  # neither place was left in the queue


def test_read_takes_what_is_waiting_without_pausing(drv, port, log):
    assert drv._QM4410__read() is None
    port.buffer += b"12345"
    assert drv._QM4410__read() == b"12345"
    assert log == [("inWaiting", 0), ("inWaiting", 5), ("read", 5)]
    del drv.ser
    with pytest.raises(AttributeError):
        drv._QM4410__read()


class EchoPort:
    """Answers each request with a frame carrying the request's byte 3 after a few
    polls, and records any moment at which two threads are inside one exchange."""

    def __init__(self, polls=3):
        self.polls, self.lock = polls, threading.Lock()
        self.owner, self.overlaps, self.pending, self.count = None, [], None, 0

    def write(self, data):
        with self.lock:
            if self.owner is not None:
                self.overlaps.append((self.owner, threading.get_ident()))
            self.owner = threading.get_ident()
            self.pending, self.count = frame(1, 0x12, data[3:4]), 0

    def inWaiting(self):
        if self.owner is None:
            return 0  # the look before a write
        if self.owner != threading.get_ident():
            self.overlaps.append(("poll", threading.get_ident()))
        self.count += 1
        return 26 if self.count >= self.polls else 0

    def read(self, size):
        data, self.pending, self.owner = self.pending, None, None
        return data


def test_threads_on_one_driver_do_not_overlap(monkeypatch):
    monkeypatch.setattr(qm4410, "time", FakeClock(real=0.0005))
    drv = QM4410("/dev/ttyFAKE0")
    drv.ser = EchoPort()
    wrong = []

    def worker(tag):
        for _ in range(25):
            reply = drv._QM4410__write_and_read([0xAA, 1, 0x26, tag] + [0] * 22)
            if reply is None or reply[3] != tag:
                wrong.append((tag, reply))

    threads = [threading.Thread(target=worker, args=(tag,)) for tag in range(1, 5)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert drv.ser.overlaps == [] and wrong == []


class GatedPort(FakePort):
    """A port whose first poll after a write blocks until ``gate`` is set."""

    def __init__(self):
        super().__init__()
        self.entered, self.gate, self.gate_seen = threading.Event(), threading.Event(), None

    def inWaiting(self):
        if self.gate_seen is None and self.writes():
            self.entered.set()
            self.gate_seen = self.gate.wait(10)
        return super().inWaiting()


def test_waiting_thread_releases_the_gil_and_other_drivers_run(fake_time):
    faulthandler.dump_traceback_later(60, exit=True)  # a GIL deadlock would hang forever
    try:
        first, second = QM4410("/dev/ttyFAKE0"), QM4410("/dev/ttyFAKE1")
        first.ser = GatedPort().reply(REPLY)
        second.ser = FakePort().reply(OTHER)
        results = {}
        holder = threading.Thread(target=lambda: results.update(a=transact(first)))
        holder.start()
        assert first.ser.entered.wait(10)
        first.ser.reply(REPLY)
        waiter = threading.Thread(target=lambda: results.update(b=transact(first)))
        waiter.start()
        waiter.join(0.2)
        assert waiter.is_alive() and len(first.ser.writes()) == 1  # queued behind the holder
        assert transact(second) == OTHER  # another driver is not held up, and this thread runs
        first.ser.gate.set()
        holder.join(10)
        waiter.join(10)
        assert first.ser.gate_seen is True and results == {"a": REPLY, "b": REPLY}
    finally:
        faulthandler.cancel_dump_traceback_later()


def holding_the_line(drv):
    """A thread inside a transaction on ``drv``, held at its first poll until
    the port's gate is set."""
    drv.ser = GatedPort().reply(REPLY)
    holder = threading.Thread(target=transact, args=(drv,))
    holder.start()
    assert drv.ser.entered.wait(10)
    return holder


@pytest.mark.parametrize("call", [transact, lambda drv: drv._QM4410__read()])
def test_ctrl_c_reaches_a_thread_waiting_for_the_line(fake_time, call):
    import _thread

    drv = QM4410("/dev/ttyFAKE0")
    holder = holding_the_line(drv)
    try:
        threading.Timer(0.2, _thread.interrupt_main).start()
        with pytest.raises(KeyboardInterrupt):
            call(drv)
        assert len(drv.ser.writes()) == 1  # the waiter sent nothing
    finally:
        drv.ser.gate.set()
        holder.join(10)


def test_read_waits_for_a_running_transaction(fake_time):
    drv = QM4410("/dev/ttyFAKE0")
    holder = holding_the_line(drv)
    taken = []
    reader = threading.Thread(target=lambda: taken.append(drv._QM4410__read()))
    reader.start()
    reader.join(0.2)
    assert reader.is_alive()  # it may not take the reply the holder waits for
    drv.ser.gate.set()
    holder.join(10)
    reader.join(10)
    assert taken == [None]


def test_transaction_started_from_inside_one_is_refused(drv, port):
    class ReentrantPort(type(port)):
        def write(self, data):
            super().write(data)
            drv._QM4410__write_and_read(list(REPLY))

    drv.ser = ReentrantPort()
    with pytest.raises(RuntimeError, match="already running in this thread"):
        transact(drv)
    drv.ser = port.reply(REPLY)
    assert transact(drv) == REPLY  # the line was given back


class CountingPort(EchoPort):
    """An EchoPort that numbers the exchanges in the order they write."""

    def __init__(self):
        super().__init__(polls=2)
        self.written = 0

    def write(self, data):
        super().write(data)
        self.written += 1


def test_threads_get_the_line_in_the_order_they_asked(monkeypatch):
    monkeypatch.setattr(qm4410, "time", FakeClock(real=0.001))
    drv, threads = QM4410("/dev/ttyFAKE0"), 8
    drv.ser = CountingPort()
    overtaken = []  # per call: exchanges written between asking for the line and writing

    def worker(tag):
        for _ in range(30):
            asked = drv.ser.written
            drv._QM4410__write_and_read([0xAA, 1, 0x26, tag] + [0] * 22)
            overtaken.append(drv.ser.written - 1 - asked)

    workers = [threading.Thread(target=worker, args=(tag,)) for tag in range(threads)]
    for t in workers:
        t.start()
    for t in workers:
        t.join(60)
    assert len(overtaken) == threads * 30 and drv.ser.overlaps == []
    assert max(overtaken) <= threads  # the others ahead in the queue, and one more for a race in the count


def test_child_process_gets_the_line_after_the_parents_exchange(fake_time):
    import os
    import signal
    import warnings

    drv = QM4410("/dev/ttyFAKE0")
    holder = holding_the_line(drv)  # a thread is inside a transaction as the process forks
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", DeprecationWarning)  # forking with threads: that is the point
            pid = os.fork()
        if pid == 0:
            try:
                signal.alarm(10)  # a child left hanging must not hang the suite
                drv.ser = FakePort().reply(REPLY)
                # Its turn comes once the parent's exchange is over, with the
                # thread that made it left behind in the parent.
                os._exit(0 if transact(drv) == REPLY and transact(drv) is None else 1)
            finally:
                os._exit(2)
        time.sleep(0.2)
        drv.ser.gate.set()
        holder.join(10)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
    finally:
        drv.ser.gate.set()
        holder.join(10)
    drv.ser = FakePort().reply(REPLY)
    assert transact(drv) == REPLY  # the parent's line is untouched
