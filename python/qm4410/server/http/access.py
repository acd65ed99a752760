"""Who may do what on a site: the client's address against the networks
the server allows (the one check every endpoint makes), the control
token, and a WebSocket opened from a page of the site's own."""

import hmac
import secrets
import urllib.parse
from collections.abc import Mapping, Sequence

from ..allowed import Network, address_text, refusal

TOKEN_BYTES = 18  # 24 characters of URL-safe base64


def made_token() -> str:
    """A control token no one can guess."""
    return secrets.token_urlsafe(TOKEN_BYTES)


def token_matches(given: str | None, token: str) -> bool:
    """Whether `given` is the token, compared in a time that does not tell
    how much of it matched."""
    return given is not None and hmac.compare_digest(given.encode(), token.encode())


def bearer(headers: Mapping[str, str]) -> str | None:
    """The token of an "Authorization: Bearer TOKEN" header, if given."""
    scheme, _, token = headers.get("authorization", "").partition(" ")
    return token.strip() if scheme.lower() == "bearer" else None


def client_refusal(client: tuple[str, int] | None, allowed: Sequence[Network]) -> str | None:
    """Why a client at `client` (host, port) may not connect, if it may
    not: the check every endpoint makes (see ..allowed)."""
    if client is None:  # not over TCP: no address to check
        return "its address is not known" if allowed else None
    return refusal(address_text(client[0]), allowed)


def foreign_origin(headers: Mapping[str, str]) -> str | None:
    """The origin of a WebSocket opened by a page from another site (whose
    script a browser would let read the readings), if it was; a client
    that is no browser sends none."""
    origin = headers.get("origin")
    if origin is None:
        return None
    return None if urllib.parse.urlsplit(origin).netloc == headers.get("host") else origin
