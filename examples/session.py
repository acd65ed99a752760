"""A short session with one supply: connect, set 5 V / 0.5 A, switch the
output on, read the status, switch off and hand the supply back.

    python examples/session.py /dev/ttyUSB0

Without an argument the port is taken from $QM4410_PORT, which the virtual
supply sets for the command it runs (qm4410-sim -- python examples/session.py);
without either, the session starts a virtual supply of its own, with an 8 ohm
load. It goes through qm4410.Supply, which prints nothing of its own and
raises when the supply does not answer.
"""

import os
import sys

import qm4410


def main() -> int:
    port = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("QM4410_PORT")
    supply = qm4410.Supply(port) if port else qm4410.Supply.virtual(load=8)
    try:
        supply.open()
    except qm4410.Refused as refused:
        print(f"no QM4410 to use: {refused}")
        return 1
    with supply:
        identity = supply.identity
        print(f"connected to {supply.port}: model {identity.model}, serial number {identity.serial_number}")
        try:
            steps = [
                ("remote control", "remote", True),
                ("maximum voltage 12 V", "max_voltage", 12.0),
                ("output voltage 5 V", "voltage", 5.0),
                ("current limit 0.5 A", "current_limit", 0.5),
                ("output on", "output", True),
            ]
            for what, setting, value in steps:
                setattr(supply, setting, value)
                print(f"{what}: done")

            print("status:")
            for key, value in supply.status().record().items():
                print(f"  {key:16} {value}")
        finally:
            supply.switch_off()
            supply.remote = False
    print("output off, local control, port closed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
