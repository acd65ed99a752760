"""The supply on a web page and in Prometheus's metrics: `Http(port)`, an
endpoint of the server beside the others, over the same supply and guard.
It needs starlette, uvicorn and prometheus-client: pip install
'qm4410[web]'.

    server = Server(supply, [Scpi(), Http(8080, control=True)], rules=Rules(limit_voltage=12))

One HTTP server (a `Site`) may carry the pages of several supplies, each
under its own path (`Http.on(site, "psu1")`), as a rack's does. The page's
readings are the server's shared ones (readings.py): an open page adds no
exchange with the supply."""

from typing import TYPE_CHECKING, Any

from .names import RESERVED_PATHS

if TYPE_CHECKING:
    from .endpoint import Http
    from .site import Site

__all__ = ["RESERVED_PATHS", "Http", "Site"]


def __getattr__(name: str) -> Any:
    # The endpoint imports starlette and uvicorn: only once it is asked for.
    if name == "Http":
        from .endpoint import Http

        return Http
    if name == "Site":
        from .site import Site

        return Site
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
