"""The site's application: the pages, their WebSockets, the overview of a
rack, /metrics and the pages' own scripts (served by the package itself,
since a lab is often offline); every request let in only from the networks
its supply allows."""

import html
import importlib.resources
import logging
from typing import TYPE_CHECKING

from prometheus_client import CONTENT_TYPE_LATEST, generate_latest
from starlette.applications import Starlette
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import HTMLResponse, PlainTextResponse, Response
from starlette.routing import Mount, Route, WebSocketRoute
from starlette.staticfiles import StaticFiles
from starlette.types import ASGIApp, Receive, Scope, Send
from starlette.websockets import WebSocket

from .access import client_refusal
from .metrics import registry_of
from .names import RESERVED_PATHS
from .session import POLICY_VIOLATION, serve_page

if TYPE_CHECKING:
    from .site import Page, Site

log = logging.getLogger("qm4410.serve")

TEMPLATES = importlib.resources.files(__package__) / "templates"
# The pages load nothing from elsewhere, and no other site frames them.
HEADERS = {
    "Content-Security-Policy": "default-src 'self'; connect-src 'self' ws: wss:; frame-ancestors 'none'",
    "X-Content-Type-Options": "nosniff",
    "Referrer-Policy": "no-referrer",
}


def app_of(site: "Site") -> Starlette:
    registry = registry_of(lambda: [page.feed for page in site.pages()])

    async def root(request: Request) -> Response:
        page = site.page_at("")
        if page is not None:
            return _page(page, "")
        if site.rack is None:
            return PlainTextResponse("no supply is served here now", 404, headers=HEADERS)
        return _overview(site)

    async def supply_page(request: Request) -> Response:
        page = site.page_at(request.path_params["name"])
        if page is None or site.rack is None:
            return PlainTextResponse("no supply of that name is served here now", 404, headers=HEADERS)
        return _page(page, "../")

    async def socket(websocket: WebSocket) -> None:
        page = site.page_at(websocket.path_params.get("name", ""))
        if page is None:
            await websocket.close(POLICY_VIOLATION)
            return
        await serve_page(websocket, page)

    async def metrics(request: Request) -> Response:
        return Response(generate_latest(registry), media_type=CONTENT_TYPE_LATEST)

    routes = [
        Route("/metrics", metrics),
        Mount("/static", app=StaticFiles(packages=[(__package__, "static")])),
        Route("/", root),
        WebSocketRoute("/ws", socket),
        Route("/{name}/", supply_page),
        WebSocketRoute("/{name}/ws", socket),
    ]
    return Starlette(routes=routes, middleware=[_Allowed.middleware(site)])


class _Allowed:
    """Lets in a request only from the networks its supply allows: a
    page's, and its WebSocket's (which checks its own, see session.py),
    from that supply's; what the supplies share (the overview, the
    metrics, the scripts) from every supply's."""

    def __init__(self, app: ASGIApp, site: "Site") -> None:
        self._app = app
        self._site = site

    @classmethod
    def middleware(cls, site: "Site") -> "Middleware":
        return Middleware(cls, site=site)

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self._app(scope, receive, send)
            return
        first = scope["path"].strip("/").split("/")[0]
        page = None if first in RESERVED_PATHS else self._site.page_at(first)
        allows = [page.allow] if page is not None else self._site.every_allow()
        client = scope.get("client")
        refusal = next((found for allow in allows if (found := client_refusal(client, allow)) is not None), None)
        if refusal is None:
            await self._app(scope, receive, send)
            return
        host, port = client if client else ("?", 0)
        log.info("http client %s:%s refused: %s", host, port, refusal)
        await PlainTextResponse("refused: your address is not let in here", 403)(scope, receive, send)


def _page(page: "Page", root: str) -> Response:
    text = (TEMPLATES / "supply.html").read_text(encoding="utf-8")
    for key, value in {"root": root, "title": html.escape(page.feed.name)}.items():
        text = text.replace("{{" + key + "}}", value)
    return HTMLResponse(text, headers=HEADERS)


def _overview(site: "Site") -> Response:
    rows = "\n".join(
        f'<tr data-supply="{html.escape(name)}"><th><a href="{html.escape(name)}/">{html.escape(name)}</a></th>'
        '<td class="state">not served now</td><td class="v"></td><td class="i"></td><td class="p"></td>'
        '<td class="output"></td><td class="mode"></td><td class="latched"></td></tr>'
        for name in site.rack or ()
    )
    text = (TEMPLATES / "overview.html").read_text(encoding="utf-8").replace("{{rows}}", rows)
    return HTMLResponse(text, headers=HEADERS)
