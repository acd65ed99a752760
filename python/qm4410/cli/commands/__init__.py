"""The subcommands of qm4410, one module each: `add_parser(commands,
parents)` registers its options (the parents are the options every
command takes, and where its supply is: `Parents`), and `run(args)` runs
it, returning the exit status or raising what ends it (see cli.app)."""

import argparse
from typing import NamedTuple, TypeAlias


class Parents(NamedTuple):
    """The parent parsers of a subcommand; as a tuple, all of them."""

    common: argparse.ArgumentParser  # -v
    port: argparse.ArgumentParser  # --port, --sim and the virtual supply's options


# What `add_parser` registers its subcommand with: what
# ArgumentParser.add_subparsers() returns, whose class argparse keeps private.
Commands: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"
