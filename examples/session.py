"""A short session with one supply: connect, set 5 V / 0.5 A, switch the
output on, read the status, switch off and hand the supply back.

    python examples/session.py /dev/ttyUSB0

Without an argument the port is taken from $QM4410_PORT, which the virtual
supply sets for the command it runs:  qm4410-sim -- python examples/session.py
"""

import os
import sys

from qm4410 import QM4410


def main() -> int:
    port = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("QM4410_PORT")
    if not port:
        print(__doc__)
        return 2

    supply = QM4410(port)
    if not supply.open():
        print(f"no QM4410 on {port}")
        return 1
    print(f"connected to {port}: {supply.show_device_version()}")
    try:
        steps = [
            ("remote control", supply.set_work_mode, "remote"),
            ("maximum voltage 12 V", supply.set_voltage_max, 12.0),
            ("output voltage 5 V", supply.set_out_voltage, 5.0),
            ("current limit 0.5 A", supply.set_out_current, 0.5),
            ("output on", supply.set_ouput_mode, "on"),
        ]
        for what, command, value in steps:
            print(f"{what}: {'done' if command(value) else 'no reply'}")

        status = supply.read_dev_status()
        print("status:")
        for key, value in (status or {}).items():
            print(f"  {key:16} {value}")
    finally:
        supply.set_ouput_mode("off")
        supply.set_work_mode("local")
        supply.close()
        print("output off, local control, port closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
