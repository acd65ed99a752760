"""What ends a server, or a client's request, as exceptions: the command
turns them into exit statuses, an endpoint into its protocol's answer. A
supply whose port has gone is the core's SupplyGone, here too."""

from ..supply.errors import SupplyGone


class ServerError(Exception):
    """The server cannot go on; its text says why, in words a person can
    act on."""


class CannotListen(ServerError):
    """An endpoint cannot take the address it was given (in use, not this
    machine's, not allowed)."""


__all__ = ["CannotListen", "ServerError", "SupplyGone"]
