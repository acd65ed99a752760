"""`qm4410 info`: the supply's model, serial number and software version."""

import argparse

from .. import port, render
from . import Commands, Parents


def add_parser(commands: Commands, parents: Parents) -> None:
    command = commands.add_parser("info", parents=parents, help="model, serial number and software version")
    command.add_argument("--json", action="store_true", help="print the identity as JSON")
    command.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    with port.opened(args) as supply:
        identity = supply.identity.record()
    print(render.as_json(identity) if args.json else render.identity_table(identity))
    return 0
