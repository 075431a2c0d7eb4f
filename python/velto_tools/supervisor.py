"""The reconnect loop: serve one controller after another until told to stop."""
from __future__ import annotations

import socket
import threading
import time
from typing import Any, Callable, Optional
from urllib.parse import quote

from velto_tools.address import parse_address, parse_ws_address

# How often a session and a waiting open() look at the stop event, in seconds.
_POLL = 0.25
# How long close() is tried again while another thread holds the server for a moment (a
# handler inside on() or inside the checks of its callback()), in seconds.
_CLOSE_PATIENCE = 5.0


def serve_forever(server: Any, address: str, on_connect: Optional[Callable[[], object]] = None,
                  on_disconnect: Optional[Callable[[], object]] = None,
                  stop: Optional[threading.Event] = None) -> None:
    """Serves controllers one after another on `server` (a ComSocketServer or WebSocketServer
    made with `address`): open, serve, wait until the connection ends, close, again.

    `on_connect()` runs after each `serve()`, `on_disconnect()` after each `close()` (also
    when the loop ends during a session, and when `on_connect()` or the close raised): stop
    the motors there. Returns once `stop` is set (within a second, whether a controller is
    connected or `open()` is waiting for one, and whatever a handler is doing: a reply
    blocked on a controller that does not read is ended by the close) or after Ctrl-C, with
    the server closed. `open()` cannot be cancelled from another thread, so a stop while it
    waits is delivered by connecting once to the address it listens on
    (`server.bound_address`, so port 0 works too); that connection is closed at once and is
    no session. A server with a `token` (a WebSocketServer) returns from `open()` only for a
    WebSocket handshake with its key: the wake-up completes one, then closes with 1000. Exceptions of the server and of the callbacks propagate after the server
    was closed."""
    stop = stop if stop is not None else threading.Event()
    try:
        while not stop.is_set():
            _open(server, stop)
            if stop.is_set():
                _close(server)
                return
            try:
                server.serve()
            except BaseException:
                _close(server)
                raise
            # From here on the session is on: on_disconnect runs however it ends.
            try:
                if on_connect is not None:
                    on_connect()
                while not server.wait_disconnected(_POLL) and not stop.is_set():
                    pass
            finally:
                try:
                    _close(server)
                finally:
                    if on_disconnect is not None:
                        on_disconnect()
    except KeyboardInterrupt:
        return


def _open(server: Any, stop: threading.Event) -> None:
    """server.open(), woken by a connection of our own if `stop` is set while it waits."""
    opened = threading.Event()

    def wake() -> None:
        while not opened.wait(_POLL):
            bound = server.bound_address  # None until open() has its listener
            if not stop.is_set() or bound is None:
                continue
            try:
                token = getattr(server, "token", None)
                if token is None:
                    socket.create_connection(parse_address(bound), timeout=1).close()
                else:
                    _knock(bound, token)
            except (OSError, ValueError):
                pass  # not listening yet (retry) or no longer (open() has returned)

    waker = threading.Thread(target=wake, name="serve_forever waker", daemon=True)
    waker.start()
    try:
        server.open()
    finally:
        opened.set()
        waker.join()


def _knock(bound: str, token: str) -> None:
    """A WebSocket handshake with the key `token` at the bound address "host:port", then a
    close frame with 1000. It waits for no answer to the close: the server answers it only
    once it serves, and open() has returned by then."""
    # Imported here: `python -m velto_tools.controller` must find that module not yet loaded
    # by the package, and the WebSocket client imports it.
    from velto_tools.websocket import CLOSE, close_payload, handshake, raw_ws_frame

    address = parse_ws_address(f"ws://{bound}/ws?k={quote(token, safe='')}")
    with socket.create_connection((address.host, address.port), timeout=1) as sock:
        handshake(sock, address, time.monotonic() + 1)
        sock.sendall(raw_ws_frame(CLOSE, close_payload(1000)))


def _close(server: Any) -> None:
    """server.close(), tried again while another call holds the server for a moment."""
    deadline = time.monotonic() + _CLOSE_PATIENCE
    while True:
        try:
            server.close()
            return
        except RuntimeError as e:
            if str(e) != "Already borrowed" or time.monotonic() > deadline:
                raise
        time.sleep(0.01)
