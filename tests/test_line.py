"""The supply's line as a scheduled resource, on a link whose exchanges take
a fixed time of a virtual clock: the order of service, a deadline that can
no longer be met, no class starved, and one status reading for every
reader within its bound, never one from before a setting."""

import threading

import pytest
from fakes import READ_STATUS, SET_VOLTAGE, frame

from qm4410 import _line
from qm4410.supply.line import SHARE, Late, Line, Priority, Schedule
from qm4410.supply.link import Link

EXCHANGE_S = 0.11  # an exchange at 4800 baud, write to reply
JOIN_TIMEOUT_S = 30


class VirtualLink(Link):
    """A link whose every exchange takes EXCHANGE_S of its own clock and is
    answered at the first poll; each status reply tells which exchange it
    was. `gate`, when set, holds each exchange until it is opened; `most`
    is what the plan says the next reply may take; `poll` the driver's poll
    each reply comes at, and `quiets` the quiet each exchange kept first."""

    def __init__(self) -> None:
        self.port = "virtual"
        self.last = None
        self.last_request = b""
        self.heard = None
        self._quiet = 0.0
        self.now = 100.0
        self.most = EXCHANGE_S
        self.sent: list[str] = []
        self.gate: threading.Event | None = None
        self.poll = 1
        self.quiets: list[float] = []
        self.copy_next = False  # the next status reply a copy of the last one, with a doubt

    def clock(self) -> float:
        return self.now

    def plan(self, word: int) -> _line.Plan:
        return _line.Plan((self.most, None, ()))

    def read_status(self):
        self._exchange(frame(1, READ_STATUS), "status")
        return None

    def _setting(self, word: int, data: bytes, what: str) -> bool:
        return self._exchange(frame(1, word, data), what).reply is not None

    def _exchange(self, request: bytes, what: str) -> _line.Exchange:
        if self.gate is not None:
            assert self.gate.wait(JOIN_TIMEOUT_S)
        written, self.now = self.now, self.now + EXCHANGE_S
        self.sent.append(what)
        reply = frame(1, request[2], len(self.sent).to_bytes(2, "little"))
        doubtful, self.copy_next = self.copy_next, False
        if doubtful:
            reply = self.last.reply
        self.quiets.append(self._quiet)
        exchange = _line.Exchange((reply, self.poll, written, self.now, 0, 0, doubtful, False, None))
        self.last, self.last_request = exchange, request
        if self.heard is not None:
            self.heard(request, exchange)
        return exchange


@pytest.fixture
def link():
    return VirtualLink()


@pytest.fixture
def line(link):
    return Line(link, max_age=0.1, clock=link.clock)


def setting(name):
    return lambda link: link._setting(SET_VOLTAGE, b"", name)


def test_requests_are_served_by_class_and_the_earliest_deadline_first_and_readers_share_a_reading(line, link):
    """While the line is held, a setting, a reading, a SAFETY request, two
    deadlines and a second reader with a deadline (which hastens the reading
    it joins) wait; each asks once the one before it waits."""
    link.gate = threading.Event()
    readings = {}
    askers = [
        lambda: line.run(setting("setting")),
        lambda: readings.setdefault("reader", line.status()),
        lambda: line.run(setting("safety"), Priority.SAFETY),
        lambda: line.run(setting("deadline 9"), Priority.DEADLINE, word=SET_VOLTAGE, by=109.0),
        lambda: line.run(setting("deadline 5"), Priority.DEADLINE, word=SET_VOLTAGE, by=105.0),
        lambda: readings.setdefault("rfc2217", line.status(priority=Priority.DEADLINE, by=104.0)),
    ]
    holder = threading.Thread(target=line.run, args=(setting("holder"),))
    holder.start()
    threads = []
    for ask in askers:
        threads.append(threading.Thread(target=ask))
        threads[-1].start()
        while line.waiting < len(threads):
            threads[-1].join(0.001)
    link.gate.set()
    for thread in [holder, *threads]:
        thread.join(JOIN_TIMEOUT_S)
    assert link.sent == ["holder", "safety", "status", "deadline 5", "deadline 9", "setting"]
    assert readings["reader"] == readings["rfc2217"] is not None


def test_no_class_waits_more_than_its_share_of_passes():
    """Every class always has a request waiting: SAFETY goes whenever it
    waits, each other class within SHARE passes of the more urgent ones."""
    schedule = Schedule()
    for priority in Priority:
        schedule.add(priority, by=1.0 if priority == Priority.DEADLINE else None)
    served = []
    for turn in range(40):
        following = schedule.next()
        served.append(following.priority)
        if following.priority != Priority.SAFETY:
            schedule.add(following.priority, following.by)
        if turn % 10 == 5:  # SAFETY comes back now and then
            schedule.add(Priority.SAFETY)
    for turn in range(5, 40, 10):
        assert served[turn + 1] == Priority.SAFETY
    for priority in (Priority.DEADLINE, Priority.SETPOINT, Priority.READING):
        turns = [turn for turn, chosen in enumerate(served) if chosen == priority]
        gaps = [later - earlier for earlier, later in zip([0, *turns], turns, strict=False)]
        assert turns and max(gaps) <= SHARE + 2, (priority, served)


@pytest.mark.parametrize("most, sent", [(EXCHANGE_S, True), (0.25, False)])
def test_a_request_whose_deadline_the_plan_says_cannot_be_met_is_not_sent(line, link, most, sent):
    link.most = most
    by = link.now + 0.2
    if sent:
        line.run(setting("frame"), Priority.DEADLINE, word=SET_VOLTAGE, by=by)
        assert line.status(priority=Priority.DEADLINE, by=by + 1) is not None
    else:
        with pytest.raises(Late, match="not sent: 200 ms were left to answer it, and the supply would take up to 250"):
            line.run(setting("frame"), Priority.DEADLINE, word=SET_VOLTAGE, by=by)
        with pytest.raises(Late):
            line.status(priority=Priority.DEADLINE, by=by)
    assert link.sent == (["frame", "status"] if sent else [])


@pytest.mark.parametrize(
    "wait, max_age, set_between, had_it, shared",
    [
        (0.1, None, False, False, True),  # its reply 0.1 s old: within the bound, though written 0.21 s ago
        (0.1001, None, False, False, False),
        (0.01, 0.0, False, False, False),  # a reader that takes none but a new one
        (0.0, None, True, False, False),  # a setting since: VOLT 5; VOLT? says 5
        (0.01, None, False, True, False),  # a reader that has had it asks for the next
    ],
)
def test_a_reading_serves_every_reader_within_its_bound_and_none_after_a_setting(
    line, link, wait, max_age, set_between, had_it, shared
):
    first = line.status()
    if set_between:
        line.run(setting("setting"))
    link.now = first.answered_at + wait
    second = line.status(max_age, newer_than=first.answered_at if had_it else None)
    assert (second == first) == shared
    assert link.sent.count("status") == (1 if shared else 2)
    if not shared:
        assert second.answered_at > first.answered_at and second.reply != first.reply


def test_a_doubtful_copy_of_the_last_reading_is_told_as_old_as_that_one(line, link):
    """Readers with no deadline, one reading after another, from a supply
    that answers after the driver's first poll: no quiet between them, and
    a second copy of the first reply, taken for the next reading with a
    doubt, is told as the first reading, never as a newer one."""
    link.poll = 2
    first = line.status()
    link.copy_next = True
    second = line.status(newer_than=first.answered_at)
    assert link.quiets == [0.0, 0.0]
    assert (second.reply, second.answered_at) == (first.reply, first.answered_at)


class InterruptedAsGiven(Line):
    """A line on which an interrupt (^C) lands once, as the line is given
    to a request: before its holder has done anything with it."""

    interrupt = True

    @property
    def _holder(self):
        return self.__dict__["holder"]

    @_holder.setter
    def _holder(self, holder):
        if holder is not None and self.interrupt:
            self.interrupt = False
            raise KeyboardInterrupt
        self.__dict__["holder"] = holder


@pytest.mark.parametrize(
    "ask",
    [
        lambda line: line.run(setting("interrupted"), asker="interrupted"),
        lambda line: line.status(),
        lambda line: line.turn(Priority.SAFETY, asker="interrupted").__enter__(),
    ],
    ids=["run", "status", "turn"],
)
def test_a_turn_interrupted_as_it_is_given_is_passed_on(link, ask):
    line = InterruptedAsGiven(link, clock=link.clock)
    with pytest.raises(KeyboardInterrupt):
        ask(line)
    after = threading.Thread(target=line.run, args=(setting("after"),), daemon=True)
    after.start()
    after.join(JOIN_TIMEOUT_S)
    assert link.sent == ["after"]


def test_a_reading_whose_turn_comes_after_the_supply_is_gone_is_not_taken(link):
    """`present` says, in the reading's turn, that the supply is gone:
    every reader of it is told so, none is taken, and the line goes on."""

    class Gone(Exception):
        pass

    def present():
        raise Gone

    line = Line(link, clock=link.clock, present=present)
    with pytest.raises(Gone):
        line.status()
    line.run(setting("after"))
    assert link.sent == ["after"]
