"""What qm4410.server still imports from the command to be stopped: it goes
once the server takes its stop requests from elsewhere."""

from .terminal import StopRequest, stop_requests

__all__ = ["StopRequest", "stop_requests"]
