"""A supply in Python for the workflows' logic: a resistive load, a clock
of its own (fakes.FakeClock) that only its exchanges and the workflows'
sleeps move, and a record of every call with the moment it was made."""

import serial


class FakeSupply:
    """`silent_from`: from that call on (counted from 1) nothing is answered;
    `lost_from`: from that call on every call raises as a vanished port
    does; `unanswered`: calls (by number) that get no answer. A call without
    an answer takes `unanswered_s`, as the driver's window and its wait for
    a late reply do."""

    def __init__(
        self, clock, load=8.0, exchange_s=0.01, silent_from=None, lost_from=None, unanswered=(), unanswered_s=0.6
    ):
        self.clock = clock
        self.load = load
        self.exchange_s, self.unanswered_s = exchange_s, unanswered_s
        self.silent_from, self.lost_from, self.unanswered = silent_from, lost_from, set(unanswered)
        self.voltage, self.current, self.output = 0.0, 1.0, "off"
        self.calls = []  # (moment the request went out, method, argument)

    def set_out_voltage(self, voltage):
        return self._exchange("set_out_voltage", voltage) and self._take("voltage", round(voltage, 3))

    def set_out_current(self, current):
        return self._exchange("set_out_current", current) and self._take("current", round(current, 3))

    def set_ouput_mode(self, mode):
        return self._exchange("set_ouput_mode", mode) and self._take("output", mode)

    def read_dev_status(self):
        if not self._exchange("read_dev_status", None):
            return None
        on = self.output == "on"
        current = min(self.voltage / self.load, self.current) if on else 0.0
        return {
            "current_real": round(current, 3),
            "voltage_real": round(current * self.load, 3) if on else 0.0,
            "current_set": self.current,
            "voltage_max_set": 30.0,
            "voltage_set": self.voltage,
            "out_status": self.output,
            "beyond_temp": False,
            "out_mode": ("CV" if self.voltage / self.load <= self.current else "CC") if on else "XX",
            "fan_speed": 0,
            "work_mode": "remote",
        }

    def sent(self, method):
        return [(moment, argument) for moment, name, argument in self.calls if name == method]

    def _exchange(self, method, argument):
        self.calls.append((self.clock.now, method, argument))
        number = len(self.calls)
        if self.lost_from is not None and number >= self.lost_from:
            raise serial.SerialException("read failed: device reports readiness to read but returned no data")
        answered = number not in self.unanswered and (self.silent_from is None or number < self.silent_from)
        self.clock.now += self.exchange_s if answered else self.unanswered_s
        return answered

    def _take(self, name, value):
        setattr(self, name, value)
        return True
