"""python -m qm4410: run the demonstration against the supply on its fixed port."""

from qm4410 import _run_demonstration

if __name__ == "__main__":
    _run_demonstration(globals())
