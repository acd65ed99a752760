"""What can go wrong with a supply, as exceptions that every door turns into
its own answer: the command into an exit status, the server into a SCPI
error or silence, a script into a traceback that says what happened."""

import enum


class SupplyError(Exception):
    """Something about the supply went wrong; its text says what, in words
    a person can act on."""


class NoReply(SupplyError):
    """The supply did not answer a request (within the driver's window and
    its settling of the line)."""


class PortGone(SupplyError, OSError):
    """The supply's port failed or went away (an unplugged adapter, a lost
    connection to a port elsewhere). An OSError too, as the port's own
    errors are, so that code written against the driver keeps catching it."""


class SupplyGone(SupplyError):
    """The supply is out of reach for good: its port has gone, or it stopped
    answering; what was asked of it was not carried out. A workflow raises
    it inside its run (and its caller gets NoAnswerError once the output
    has been seen to); the server raises it to a client's request, and from
    `Server.serve_until` once a server that does not wait for the supply to
    come back has told its clients."""


class OutOfRange(SupplyError, ValueError):
    """A value the supply cannot be sent, or that a limit refuses; nothing
    was sent. A ValueError too, as every refused value in Python is."""


class SwitchOffFailed(SupplyError):
    """The output could not be confirmed off. `state` is what the status
    last said of the output: "on", or None when no status came back."""

    def __init__(self, message: str, state: str | None) -> None:
        super().__init__(message)
        self.state = state


class RefusalKind(enum.Enum):
    """Why a port could not be opened as a supply."""

    PORT_MISSING = "there is no such port"
    PERMISSION_DENIED = "no access to the port"
    NOT_A_PORT = "not a serial port"
    PORT_BUSY = "another program holds the port"
    NO_ANSWER = "no supply answered"
    WRONG_MODEL = "a device of another model answered"
    CANNOT_OPEN = "the port could not be opened"
    CANNOT_CONNECT = "nothing accepts connections there"
    HOST_UNKNOWN = "the host is not known"
    REMOTE_BUSY = "the server there serves another client"
    NO_VIRTUAL_SUPPLY = "no virtual supply is installed"
    SIMULATOR_FAILED = "the virtual supply did not start"


class Refused(SupplyError):
    """The port could not be opened as a supply: `kind` says why in one
    word, the text says what to do about it."""

    def __init__(self, kind: RefusalKind, text: str) -> None:
        super().__init__(text)
        self.kind = kind
        self.text = text
