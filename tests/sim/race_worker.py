"""A process that opens a driver when told to, for the tests of two processes
racing for one port.

    python race_worker.py PORT [--checked-free]

Each line "open" on standard input opens a fresh driver on PORT and answers
one JSON line: whether open() returned True, what it printed, the identity it
read and whether a status read was answered. "close" closes what is open and
answers "closed". --checked-free: the driver is told that its availability
check found the port free, as when both processes passed it together.
"""

import contextlib
import io
import json
import sys

import qm4410


def open_driver(port: str, checked_free: bool):
    driver = qm4410.QM4410(port)
    if checked_free:
        driver.check_port_available = lambda: True
    printed = io.StringIO()
    with contextlib.redirect_stdout(printed):
        opened = driver.open()
    report = {"opened": opened, "printed": printed.getvalue(), "holds": hasattr(driver, "ser") and driver.ser.is_open}
    if opened:
        report["identity"] = driver.show_device_version()
        report["answered"] = driver.read_dev_status() is not None
    return driver, report


def main():
    port, checked_free = sys.argv[1], "--checked-free" in sys.argv[2:]
    opened = None
    for command in sys.stdin:
        if command.strip() == "open":
            driver, report = open_driver(port, checked_free)
            opened = driver if report["opened"] else None
            print(json.dumps(report), flush=True)
        elif command.strip() == "close":
            if opened is not None:
                opened.close()
            opened = None
            print("closed", flush=True)


if __name__ == "__main__":
    main()
