"""The `qm4410` command: find, query, set and monitor a supply from the shell."""

from .app import main

__all__ = ["main"]
