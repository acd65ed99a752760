"""The supplies of a site in Prometheus's text format, from their pages'
shared readings: no scrape sends anything to a supply. Each metric has a
`supply` label, the supply's name (a rack's name for it, or its port).

The counters count the guard's readings that the page heard, since the
supply has been served on the site: every exchange that reading takes, and
those the supply did not answer. The clients' own exchanges (SCPI, RFC
2217, ...) are not counted."""

from collections.abc import Callable, Iterable, Iterator

from prometheus_client import CollectorRegistry
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily, Metric, StateSetMetricFamily
from prometheus_client.registry import Collector

from ...supply.guard import TRIP_NAMES
from ...supply.status import Mode
from .feed import Feed

NO_TRIP = "none"


class SupplyCollector(Collector):
    """Every metric of the feeds that `feeds()` gives at each scrape."""

    def __init__(self, feeds: Callable[[], Iterable[Feed]]) -> None:
        self._feeds = feeds

    def collect(self) -> Iterator[Metric]:
        labels = ["supply"]
        measured = {
            "voltage": GaugeMetricFamily(
                "qm4410_measured_voltage_volts", "The voltage the output delivers.", labels=labels
            ),
            "current": GaugeMetricFamily(
                "qm4410_measured_current_amperes", "The current the output delivers.", labels=labels
            ),
            "power": GaugeMetricFamily("qm4410_measured_power_watts", "The power the output delivers.", labels=labels),
        }
        set_points = {
            "voltage": GaugeMetricFamily("qm4410_voltage_setpoint_volts", "The voltage set-point.", labels=labels),
            "current": GaugeMetricFamily(
                "qm4410_current_limit_amperes", "The current limit (the current set-point).", labels=labels
            ),
            "max_voltage": GaugeMetricFamily(
                "qm4410_max_voltage_volts", "The supply's maximum voltage setting.", labels=labels
            ),
        }
        output = GaugeMetricFamily("qm4410_output_on", "1 while the output is on.", labels=labels)
        mode = StateSetMetricFamily("qm4410_mode", "What the supply regulates: CV, CC, or neither (XX).", labels=labels)
        overtemp = GaugeMetricFamily(
            "qm4410_over_temperature", "1 while the supply reports over-temperature.", labels=labels
        )
        trip = StateSetMetricFamily(
            "qm4410_trip", "The guard's latched trip, by its name; none while none is.", labels=labels
        )
        connected = GaugeMetricFamily(
            "qm4410_connected", "1 while the supply answers the readings (0 before the first).", labels=labels
        )
        readings = CounterMetricFamily(
            "qm4410_readings", "The guard's readings of the status (one exchange each).", labels=labels
        )
        unanswered = CounterMetricFamily(
            "qm4410_readings_unanswered", "The guard's readings that the supply did not answer.", labels=labels
        )
        pages = GaugeMetricFamily("qm4410_pages_open", "The supply's pages open now.", labels=labels)
        for feed in self._feeds():
            name = [feed.name]
            status = feed.latest
            if status is not None:
                measured["voltage"].add_metric(name, status.measured_voltage)
                measured["current"].add_metric(name, status.measured_current)
                measured["power"].add_metric(name, status.power)
                set_points["voltage"].add_metric(name, status.voltage)
                set_points["current"].add_metric(name, status.current_limit)
                set_points["max_voltage"].add_metric(name, status.max_voltage)
                output.add_metric(name, status.output)
                mode.add_metric(name, {each.value: status.mode == each for each in Mode})
                overtemp.add_metric(name, status.over_temperature)
            latched = feed.guard.trip
            tripped = NO_TRIP if latched is None else latched.name
            trip.add_metric(name, {state: state == tripped for state in (NO_TRIP, *TRIP_NAMES)})
            connected.add_metric(name, status is not None)
            readings.add_metric(name, feed.counts.readings)
            unanswered.add_metric(name, feed.counts.unanswered)
            pages.add_metric(name, feed.pages)
        yield from measured.values()
        yield from set_points.values()
        yield from (output, mode, overtemp, trip, connected, readings, unanswered, pages)


def registry_of(feeds: Callable[[], Iterable[Feed]]) -> CollectorRegistry:
    """A registry of the site's own (not the process's global one) with
    the supplies' metrics."""
    registry = CollectorRegistry(auto_describe=False)
    registry.register(SupplyCollector(feeds))
    return registry
