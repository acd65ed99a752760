"""One HTTP server (starlette's application under uvicorn, on an event loop
of its own thread) carrying the pages of one supply at its root, or of a
rack's supplies each under its name with an overview at the root; and
/metrics for them all."""

import asyncio
import concurrent.futures
import dataclasses
import logging
import socket
import threading
import time
from collections.abc import Callable, Coroutine, Mapping, Sequence
from typing import Any, TypeVar

import uvicorn

from ...supply.guard import Guard
from ..allowed import Network
from ..endpoints import LOOPBACK
from ..errors import CannotListen
from .access import made_token
from .feed import Feed
from .names import DEFAULT_PORT

log = logging.getLogger("qm4410.serve")

START_TIMEOUT_S = 10.0
STOP_TIMEOUT_S = 5.0
# The largest message a page may send (a request is a few dozen bytes):
# a longer one closes its connection (1009).
MESSAGE_MOST = 4096
# Connections at once, pages and requests together; more are answered 503.
CONNECTIONS_MOST = 256
Result = TypeVar("Result")


@dataclasses.dataclass(eq=False)
class Page:
    """One supply's page on a site: `path` is where it is ("" at the
    root), `endpoint` names its clients in the log; its readings (whose
    name labels its metrics and titles the page), its guard, the networks
    its clients may come from, and whether it may control the supply, with
    `token`."""

    path: str
    endpoint: str
    feed: Feed
    guard: Guard
    allow: Sequence[Network]
    control: bool
    token: str
    # Set once the supply is no longer served here: its pages are let go.
    gone: asyncio.Event = dataclasses.field(default_factory=asyncio.Event)


class Site:
    """An HTTP server on `host`:`port` (port 0: a free one). Without `rack`
    it carries one supply's page at its root; with `rack` (each supply's
    name and the networks its clients may come from) an overview of them
    there and each one's page under its name. `token` is what a page's
    control asks for (None: one is made, see `token`)."""

    def __init__(
        self,
        port: int | None = None,
        host: str = LOOPBACK,
        *,
        token: str | None = None,
        rack: Mapping[str, Sequence[Network]] | None = None,
    ) -> None:
        self.token = token if token is not None else made_token()
        self.token_made = token is None
        self.rack = dict(rack) if rack is not None else None
        self._address = (host, DEFAULT_PORT if port is None else port)
        self._pages: dict[str, Page] = {}  # by path; touched on the loop alone
        self._loop: asyncio.AbstractEventLoop | None = None
        self._server: uvicorn.Server | None = None
        self._thread: threading.Thread | None = None
        self._listening: tuple[str, int] | None = None
        self._token_told = False

    def open(self) -> None:
        """Listen, and serve from a thread of its own; CannotListen when the
        address cannot be had."""
        from .app import app_of

        host, port = self._address
        try:
            family = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)[0][0]
            listening = socket.create_server((host, port), family=family)
        except OSError as error:
            raise CannotListen(f"cannot listen on {host}:{port} for http: {error.strerror or error}") from None
        self._listening = listening.getsockname()[:2]
        config = uvicorn.Config(
            app_of(self),
            log_config=None,
            access_log=False,
            lifespan="off",
            server_header=False,
            ws_max_size=MESSAGE_MOST,
            limit_concurrency=CONNECTIONS_MOST,
            timeout_graceful_shutdown=int(STOP_TIMEOUT_S),
        )
        self._server = server = uvicorn.Server(config)
        self._loop = loop = asyncio.new_event_loop()
        self._thread = threading.Thread(
            target=lambda: loop.run_until_complete(server.serve(sockets=[listening])),
            name="qm4410 http",
            daemon=True,
        )
        self._thread.start()
        deadline = time.monotonic() + START_TIMEOUT_S
        while not server.started and self._thread.is_alive() and time.monotonic() < deadline:
            time.sleep(0.01)
        if not server.started:
            self.close()
            listening.close()
            raise CannotListen(f"cannot listen on {host}:{port} for http: the server did not start")

    def close(self) -> None:
        """Let every page go and stop serving, within a bounded time."""
        server, thread, loop = self._server, self._thread, self._loop
        self._server = self._thread = None
        if server is None or thread is None or loop is None:
            return

        async def letting_go() -> None:
            for page in self._pages.values():
                page.gone.set()

        if thread.is_alive():
            self._on_loop(letting_go())
        server.should_exit = True
        thread.join(STOP_TIMEOUT_S + 1)
        if not thread.is_alive():
            loop.close()

    @property
    def loop(self) -> asyncio.AbstractEventLoop:
        if self._loop is None:
            raise RuntimeError("the http site is not open")
        return self._loop

    @property
    def host(self) -> str:
        return self._opened()[0]

    @property
    def port(self) -> int:
        return self._opened()[1]

    def url(self, path: str = "") -> str:
        """Where the page at `path` is ("": the root)."""
        host, port = self._opened()
        shown = f"[{host}]" if ":" in host else host
        return f"http://{shown}:{port}/" + (f"{path}/" if path else "")

    def add(self, page: Page) -> None:
        """Serve `page` from now on, at its path."""

        async def adding() -> None:
            self._pages[page.path] = page

        self._on_loop(adding())
        if page.control and self.token_made and not self._token_told:
            self._token_told = True
            log.info("the web page's control token (give it with --http-token to keep it): %s", self.token)

    def remove(self, page: Page) -> None:
        """No longer serve `page`; its open pages are let go."""

        async def removing() -> None:
            if self._pages.get(page.path) is page:
                del self._pages[page.path]
            page.gone.set()

        if self._thread is not None:
            self._on_loop(removing())

    # For the application, on the loop.

    def page_at(self, path: str) -> Page | None:
        return self._pages.get(path)

    def pages(self) -> list[Page]:
        """Every page served now, in the rack's order."""
        order = list(self.rack or ())
        return sorted(self._pages.values(), key=lambda page: order.index(page.path) if page.path in order else -1)

    def every_allow(self) -> list[Sequence[Network]]:
        """The networks of every supply of the site: who may see what they
        share (the overview, the metrics) is let in by all of them."""
        if self.rack is not None:
            return list(self.rack.values())
        return [page.allow for page in self._pages.values()]

    def _on_loop(self, work: Coroutine[Any, Any, Result]) -> Result:
        future: concurrent.futures.Future[Result] = asyncio.run_coroutine_threadsafe(work, self.loop)
        return future.result(STOP_TIMEOUT_S)

    def _opened(self) -> tuple[str, int]:
        if self._listening is None:
            raise RuntimeError("the http site is not open")
        return self._listening


def told_threadsafe(loop: asyncio.AbstractEventLoop, call: Callable[..., object], *args: object) -> None:
    """`call(*args)` on `loop` from another thread; nothing once the loop
    is closed (a reading that comes as the site stops)."""
    if not loop.is_closed():
        try:
            loop.call_soon_threadsafe(call, *args)
        except RuntimeError:  # closed meanwhile
            pass
