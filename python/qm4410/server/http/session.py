"""One open page's WebSocket: who it is and what it may do, settled before
anything else; then the supply's readings pushed to it (the latest one,
ten a second at most: see Pacer), and its requests carried out through the guard,
each answered.

What a page sends is JSON text. The first message is its hello,
{"type": "hello"}, with "token" to control the supply (or the token came
in the request's "Authorization: Bearer" header instead); the server's
hello answers it, and the readings follow. A control request,
{"type": "set", "quantity": "voltage", "value": 5, "id": 1},
{"type": "output", "on": true} or {"type": "clear"}, is answered
{"type": "done", "id": 1} or {"type": "refused", "id": 1, "error": WORDS}.
A message that is none of these is answered {"type": "error", "error":
WORDS}, and the page stays. A wrong token, or a control request from a page
that may not control, closes the connection with 1008 (policy violation)
having changed nothing; so does a page from another site."""

import asyncio
import contextlib
import json
import logging
import time
from typing import TYPE_CHECKING, Any

from starlette.websockets import WebSocket, WebSocketDisconnect

from .access import bearer, client_refusal, foreign_origin, token_matches
from .control import Malformed, carried_out, request_of
from .feed import Pacer, Slot

if TYPE_CHECKING:
    from .site import Page

log = logging.getLogger("qm4410.serve")

HELLO_WITHIN_S = 10.0
# A page that takes no message for this long is let go: its browser reads
# nothing (a slower one only skips readings).
SEND_WITHIN_S = 10.0
POLICY_VIOLATION = 1008
GOING_AWAY = 1001


class Closed(Exception):
    """The connection is to be closed with `code` and `reason`."""

    def __init__(self, code: int, reason: str) -> None:
        super().__init__(reason)
        self.code = code
        self.reason = reason


async def serve_page(websocket: WebSocket, page: "Page") -> None:
    """Serve one page's WebSocket until it leaves, is let go, or the page's
    supply is no longer served."""
    client = websocket.client
    name = f"{page.endpoint} client {client.host}:{client.port}" if client else f"{page.endpoint} client"
    headers = websocket.headers
    refusal = client_refusal((client.host, client.port) if client else None, page.allow)
    origin = foreign_origin(headers)
    header_token = bearer(headers)
    if refusal is None and origin is not None:
        refusal = f"it was opened from a page of {origin}, not of this server"
    if refusal is None and page.control and header_token is not None and not _controls(page, header_token):
        refusal = "its token is wrong"
    if refusal is not None:
        log.info("%s refused: %s", name, refusal)
        await websocket.close(POLICY_VIOLATION)  # before the handshake: 403
        return
    await websocket.accept()
    log.info("%s connected", name)
    started = time.monotonic()
    session = _Session(websocket, page, name, control=page.control and header_token is not None)
    how = "left"
    try:
        await session.run()
    except Closed as closed:
        how = f"was let go: {closed.reason}"
        with contextlib.suppress(WebSocketDisconnect, OSError, RuntimeError):  # gone meanwhile
            await websocket.close(closed.code, closed.reason)
    except (WebSocketDisconnect, OSError):  # gone while a message was sent to it
        pass
    log.info("%s %s after %.1f s", name, how, time.monotonic() - started)


def _controls(page: "Page", token: str) -> bool:
    return page.control and token_matches(token, page.token)


class _Session:
    def __init__(self, websocket: WebSocket, page: "Page", name: str, control: bool) -> None:
        self._websocket = websocket
        self._page = page
        self._name = name
        self._control = control
        self._sending = asyncio.Lock()

    async def run(self) -> None:
        if not await self._hello():
            return
        slot = self._page.feed.join()
        tasks = [
            asyncio.create_task(self._push(slot)),
            asyncio.create_task(self._requests()),
            asyncio.create_task(self._page.gone.wait()),
        ]
        try:
            done, _ = await asyncio.wait(tasks, return_when=asyncio.FIRST_COMPLETED)
        finally:
            self._page.feed.leave(slot)
            for task in tasks:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
        for task in done:
            if task is tasks[2]:
                raise Closed(GOING_AWAY, "the supply is no longer served here")
            task.result()  # Closed, or the page's leaving (None)

    async def _hello(self) -> bool:
        """The page's hello taken and answered; False when it left first."""
        try:
            message = await asyncio.wait_for(self._message(), HELLO_WITHIN_S)
        except TimeoutError:
            raise Closed(POLICY_VIOLATION, f"no hello within {HELLO_WITHIN_S:g} s") from None
        except Malformed:
            message = "no JSON object"
        if message is None:
            return False
        if not isinstance(message, dict) or message.get("type") != "hello":
            raise Closed(POLICY_VIOLATION, 'the first message is to be {"type": "hello"}')
        token = message.get("token")
        if token is not None and self._page.control:
            if not (isinstance(token, str) and _controls(self._page, token)):
                raise Closed(POLICY_VIOLATION, "the token is wrong")
            self._control = True
        await self._send(json.dumps(self._page.feed.hello(self._control, self._page.control)))
        return True

    async def _push(self, slot: Slot) -> None:
        """The readings, each the latest when its send is allowed."""
        pacer = Pacer()
        while True:
            await pacer.ready()
            await self._send(await slot.next())

    async def _requests(self) -> None:
        while True:
            try:
                message = await self._message()
            except Malformed as malformed:
                await self._send(json.dumps({"type": "error", "error": str(malformed)}))
                continue
            if message is None:
                return
            ident = message.get("id") if isinstance(message, dict) else None
            try:
                if not isinstance(message, dict):
                    raise Malformed("a message is a JSON object")
                if message.get("type") == "hello":
                    raise Malformed("a page says hello once, first")
                request = request_of(message)
            except Malformed as malformed:
                await self._send(json.dumps({"type": "error", "id": _plain(ident), "error": str(malformed)}))
                continue
            if not self._control:
                raise Closed(
                    POLICY_VIOLATION,
                    "control needs the token" if self._page.control else "the page is read-only (no --http-control)",
                )
            error = await asyncio.to_thread(carried_out, request, self._page.guard, self._name)
            answer = (
                {"type": "done", "id": _plain(ident)}
                if error is None
                else {
                    "type": "refused",
                    "id": _plain(ident),
                    "error": error,
                }
            )
            await self._send(json.dumps(answer))
            self._page.feed.publish()  # the guard's state as the request left it

    async def _message(self) -> Any:
        """The next message, decoded; None once the page has left;
        Malformed for one that is no JSON text."""
        received = await self._websocket.receive()
        if received["type"] == "websocket.disconnect":
            return None
        text = received.get("text")
        if text is None:
            raise Malformed("a message is JSON text, not binary")
        try:
            return json.loads(text)
        except ValueError:
            raise Malformed("a message is JSON text: this one is not JSON") from None

    async def _send(self, text: str) -> None:
        async with self._sending:
            try:
                await asyncio.wait_for(self._websocket.send_text(text), SEND_WITHIN_S)
            except TimeoutError:
                raise Closed(GOING_AWAY, f"it read nothing for {SEND_WITHIN_S:g} s") from None


def _plain(ident: Any) -> Any:
    """A request's id as it is echoed: a number or a short string, else none."""
    return ident if isinstance(ident, (int, float, str)) and len(str(ident)) <= 64 else None
