"""Makes docs/iv-example.png: the same voltage sweep, 0 to 24 V in 0.5 V
steps with a 1 A limit, on two virtual supplies, one with a 4-ohm load and
one with a 16-ohm load. Each follows its load line at constant voltage
until it draws the 1 A the limit allows, then holds it at constant current.

    python docs/iv-example.py        (needs `pip install .[plot]`)
"""

import contextlib
import io
from pathlib import Path

from qm4410 import QM4410
from qm4410.virtual_supply import VirtualSupply
from qm4410.workflows import Span, draw_iv, sweep

OUT = Path(__file__).with_name("iv-example.png")


def swept(load_ohms: float):
    with VirtualSupply(["--load", str(load_ohms)]) as virtual:
        supply = QM4410(virtual.port)
        if not supply.open():
            raise SystemExit(f"no supply on {virtual.port}")
        try:
            supply.set_work_mode("remote")
            with contextlib.redirect_stdout(io.StringIO()):  # the replies the set-points print
                return sweep(supply, voltage=Span(0, 24, 0.5), current=1.0, dwell=0.02).rows
        finally:
            supply.close()


def main():
    curves = {f"{load} ohm load": swept(load) for load in (4, 16)}
    draw_iv(curves, OUT, title="Voltage sweep 0 to 24 V, 1 A limit", size=(900, 600))
    print(OUT)


if __name__ == "__main__":
    main()
