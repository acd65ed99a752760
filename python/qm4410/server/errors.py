"""What ends a server, or a client's request, as exceptions of its own: the
command turns them into exit statuses, an endpoint into its protocol's
answer."""


class ServerError(Exception):
    """The server cannot go on; its text says why, in words a person can
    act on."""


class CannotListen(ServerError):
    """An endpoint cannot take the address it was given (in use, not this
    machine's, not allowed)."""


class SupplyGone(ServerError):
    """The supply's port has gone (an unplugged adapter, a lost connection
    to a port elsewhere); what was asked of it was not sent. Raised to a
    client's request, and by `Server.serve_until` once a server that does
    not wait for the supply to come back has told its clients."""
