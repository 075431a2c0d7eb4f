"""The reconnect loop: serve one controller after another until told to stop."""
from __future__ import annotations

import socket
import threading
from typing import Any, Callable, Optional

from velto_tools.address import parse_address

# How often a session and a waiting open() look at the stop event, in seconds.
_POLL = 0.25


def serve_forever(server: Any, address: str, on_connect: Optional[Callable[[], object]] = None,
                  on_disconnect: Optional[Callable[[], object]] = None,
                  stop: Optional[threading.Event] = None) -> None:
    """Serves controllers one after another on `server` (a ComSocketServer made with
    `address`): open, serve, wait until the connection ends, close, again.

    `on_connect()` runs after each `serve()`, `on_disconnect()` after each `close()` (also
    when the loop ends during a session): stop the motors there. Returns once `stop` is set
    (within a second, whether a controller is connected or `open()` is waiting for one) or
    after Ctrl-C, with the server closed. `open()` cannot be cancelled from another thread,
    so a stop while it waits is delivered by connecting to `address` once; that connection
    is closed at once and is no session. Exceptions of the server and of the callbacks
    propagate after the server was closed."""
    stop = stop if stop is not None else threading.Event()
    try:
        while not stop.is_set():
            _open(server, address, stop)
            if stop.is_set():
                server.close()
                return
            server.serve()
            try:
                if on_connect is not None:
                    on_connect()
                while not server.wait_disconnected(_POLL) and not stop.is_set():
                    pass
            finally:
                server.close()
                if on_disconnect is not None:
                    on_disconnect()
    except KeyboardInterrupt:
        return


def _open(server: Any, address: str, stop: threading.Event) -> None:
    """server.open(), woken by a connection of our own if `stop` is set while it waits."""
    opened = threading.Event()
    host, port = parse_address(address)

    def wake() -> None:
        while not opened.wait(_POLL):
            if not stop.is_set():
                continue
            try:
                socket.create_connection((host, port), timeout=1).close()
            except OSError:
                pass  # not listening yet (retry) or no longer (open() has returned)

    waker = threading.Thread(target=wake, name="serve_forever waker", daemon=True)
    waker.start()
    try:
        server.open()
    finally:
        opened.set()
        waker.join()
