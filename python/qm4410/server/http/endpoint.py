"""The web endpoint: one supply's page, and its metrics, on a site (an HTTP
server of its own, or one that a rack's supplies share), fed by the shared
readings and controlled through the guard."""

import time
from collections.abc import Callable

from ..endpoints import Context
from .feed import Feed
from .readings import readings_of
from .site import Page, Site, told_threadsafe


class Http:
    """The supply's page at the root of an HTTP server of its own on `host`
    (None: where the server binds) and `port` (None: 8080; 0: a free one),
    with /metrics. With `control` the page may set the set-points and the
    output and clear a trip, given `token` (None: one is made, and logged
    as the server starts: see `token`)."""

    name = "http"

    def __init__(
        self, port: int | None = None, host: str | None = None, *, control: bool = False, token: str | None = None
    ) -> None:
        self.control = control
        self._own: tuple[str | None, int | None, str | None] | None = (host, port, token)
        self._site: Site | None = None
        self._path = ""
        self._page: Page | None = None
        self._context: Context | None = None
        self._unsubscribe: Callable[[], None] | None = None

    @classmethod
    def on(cls, site: Site, path: str, *, control: bool = False) -> "Http":
        """The supply's page on `site`, which others share, under `path`
        (its name in the rack): the site's owner opens and closes it."""
        endpoint = cls(control=control)
        endpoint._own = None
        endpoint._site = site
        endpoint._path = path
        return endpoint

    @property
    def token(self) -> str:
        """What a page's control asks for."""
        return self._opened().token

    def listen(self, context: Context) -> None:
        if self._own is not None:
            host, port, token = self._own
            site = Site(port, host or context.bind, token=token)
            site.open()
            self._site = site
        site = self._opened()
        self._context = context
        self._page = Page(
            path=self._path,
            endpoint=self.name,
            feed=Feed(self._path or context.supply.port, context.supply, context.guard),
            guard=context.guard,
            allow=context.allow,
            control=self.control,
            token=site.token,
        )

    def start(self) -> None:
        site, page, context = self._opened(), self._page, self._context
        if page is None or context is None:
            raise RuntimeError("the http endpoint is not listening")
        site.add(page)
        loop = site.loop
        self._unsubscribe = readings_of(context.guard).subscribe(
            lambda status: told_threadsafe(loop, page.feed.take, status, time.time())
        )

    def close(self) -> None:
        if self._unsubscribe is not None:
            self._unsubscribe()
            self._unsubscribe = None
        site, page = self._site, self._page
        self._page = None
        if site is not None and page is not None:
            site.remove(page)
        if self._own is not None and site is not None:
            site.close()
            self._site = None

    @property
    def resource(self) -> str:
        return self._opened().url(self._path)

    @property
    def host(self) -> str:
        return self._opened().host

    def _opened(self) -> Site:
        if self._site is None:
            raise RuntimeError("the http endpoint is not listening")
        return self._site

    def __repr__(self) -> str:
        where = self.resource if self._site is not None else "not listening"
        return f"<Http {where}>"
