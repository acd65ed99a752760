"""The plot of a run over time: what it draws, and in which format."""

import pytest

from qm4410.cli import plot
from qm4410.workflows import iv_plot


def sample_at(elapsed: float, volts: float | None, mode: str = "CV", setpoint: float = 5.0) -> dict:
    answered = volts is not None
    return {
        "timestamp": "2026-01-01T00:00:00.000+00:00",
        "elapsed_s": elapsed,
        "answered": answered,
        "measured_voltage": volts,
        "measured_current": 0.5 if answered else None,
        "power": volts * 0.5 if answered else None,
        "voltage": setpoint if answered else None,
        "current_limit": 1.0 if answered else None,
        "mode": mode if answered else None,
    }


@pytest.fixture
def drawn(monkeypatch):
    """The figures plot.draw() would have saved."""
    figures = []
    monkeypatch.setattr(iv_plot, "save", lambda figure, path: figures.append(figure))
    return figures


def test_set_points_are_drawn_as_steps_beside_what_was_measured(drawn):
    samples = [sample_at(0, 4.9, setpoint=5.0), sample_at(1, 5.0, setpoint=5.0), sample_at(2, 2.0, setpoint=2.0)]
    plot.draw(samples, "run.png", (640, 480))
    [figure] = drawn
    voltage, current, power = figure.axes
    lines = {line.get_label(): line for line in voltage.get_lines()}
    # A set-point holds until the next sample: no slope from 5 V down to 2 V.
    assert lines["voltage set-point"].get_drawstyle() == "steps-post"
    assert list(lines["voltage set-point"].get_ydata()) == [5.0, 5.0, 2.0]
    assert list(lines["measured"].get_ydata()) == [4.9, 5.0, 2.0]
    assert {line.get_label() for line in current.get_lines()} == {"measured", "current limit"}
    assert [line.get_label() for line in power.get_lines()] == ["measured"]  # no set-point for the power


def test_constant_voltage_and_current_are_shaded_and_named(drawn):
    samples = [
        sample_at(0, 5.0, "CV"),
        sample_at(1, 4.0, "CC"),
        sample_at(2, None),
        sample_at(3, 4.0, "CC"),
        sample_at(4, 4.0, "CC"),
        sample_at(5, 0.0, "XX"),
        sample_at(6, 5.0, "CV"),
    ]
    plot.draw(samples, "run.png", (640, 480))
    voltage = drawn[0].axes[0]
    named = voltage.get_legend_handles_labels()[1]
    assert {"constant voltage (CV)", "constant current (CC)", "no answer (1)"} <= set(named)


def test_a_mode_holds_until_the_next_sample():
    samples = [
        sample_at(0, 5.0, "CV"),
        sample_at(1, 5.0, "CV"),
        sample_at(2, 4.0, "CC"),
        sample_at(3, None),
        sample_at(4, 4.0, "CC"),
        sample_at(5, 0.0, "XX"),
        sample_at(6, 5.0, "CV"),
    ]
    # Neither mode with the output off, nor while the supply did not answer.
    assert plot.mode_spans(samples) == [(0, 2, "CV"), (2, 3, "CC"), (4, 5, "CC")]


@pytest.mark.parametrize("samples, told", [(2, False), (3, True)])
def test_a_plot_slow_to_draw_says_so(drawn, monkeypatch, capsys, samples, told):
    monkeypatch.setattr(plot, "SLOW_TO_DRAW", 3)
    plot.draw([sample_at(t, 5.0) for t in range(samples)], "night.png", (640, 480))
    assert capsys.readouterr().err == ("qm4410: drawing the plot night.png (3 samples) ...\n" if told else "")


@pytest.mark.parametrize("name, start", [("run.png", b"\x89PNG"), ("run.SVG", b"<?xml"), ("run.pdf", b"%PDF")])
def test_the_plot_takes_the_format_of_its_extension(tmp_path, name, start):
    path = tmp_path / name
    plot.draw([sample_at(0, 5.0), sample_at(0.5, None), sample_at(1.0, 4.9)], str(path), (640, 480))
    assert path.read_bytes().startswith(start)
