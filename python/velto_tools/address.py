"""Addresses in the server's form: "host:port", "[v6]:port"; and WebSocket addresses:
"ws://host:port/#k=KEY" (the key in the fragment, as the server prints it; "http://" works
too) or "ws://host:port/ws?k=KEY" (the request target as it is)."""
from typing import NamedTuple, Tuple
from urllib.parse import parse_qs, quote, urlsplit


def parse_address(text: str) -> Tuple[str, int]:
    """("host", port) of an address in the server's form: "127.0.0.1:9000", "[::1]:9000",
    "localhost:9000". Raises ValueError for anything else."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"not an address of the form HOST:PORT: {text!r}")
    return host, int(port)


class WsAddress(NamedTuple):
    """Where a WebSocket client connects and what it asks for."""

    host: str  # for connect(): "127.0.0.1", "::1"
    port: int
    netloc: str  # the Host header: "127.0.0.1:9000", "[::1]:9000"
    target: str  # the request target: "/ws?k=KEY"


WS_FORMS = "ws://HOST:PORT/#k=KEY or ws://HOST:PORT/ws?k=KEY"


def is_ws_address(text: str) -> bool:
    """Whether `text` is a URL (ws:// or http://) rather than HOST:PORT."""
    return text.lower().startswith(("ws://", "http://"))


def parse_ws_address(text: str) -> WsAddress:
    """The parts of a WebSocket address. A key in the fragment ("#k=KEY", never sent by a
    browser) is sent as the request target "/ws?k=KEY"; an address with a query is sent with
    its path and query as they are; the port is 80 when the address names none. Raises
    ValueError for another scheme or a missing host, or an address that names no key."""
    try:
        parts = urlsplit(text)
        port = parts.port
    except ValueError as e:
        raise ValueError(f"not a WebSocket address ({e}): {text!r}") from None
    if parts.scheme.lower() not in ("ws", "http") or not parts.hostname:
        raise ValueError(f"not a WebSocket address of the form {WS_FORMS}: {text!r}")
    fragment_key = parse_qs(parts.fragment, keep_blank_values=True).get("k")
    if parts.query:
        if "k" not in parse_qs(parts.query, keep_blank_values=True):
            raise ValueError(f"the address names no key (k=), expected {WS_FORMS}: {text!r}")
        target = (parts.path or "/") + "?" + parts.query
    elif fragment_key is not None and parts.path in ("", "/"):
        target = "/ws?k=" + quote(fragment_key[0], safe="")
    else:
        raise ValueError(f"the address names no key, expected {WS_FORMS}: {text!r}")
    netloc = parts.netloc.rpartition("@")[2]
    return WsAddress(parts.hostname, 80 if port is None else port, netloc, target)
