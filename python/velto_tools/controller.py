"""A fake controller: connects to a server, sends frames, reads the replies. The
`velto-controller` command line built on it is velto_tools.cli; `python -m
velto_tools.controller` runs it too."""
from __future__ import annotations

import select
import socket
import time
from collections import deque
from types import TracebackType
from typing import Any, Deque, Iterator, Optional, Type

from velto_tools import wire
from velto_tools.address import is_ws_address, parse_address
from velto_tools.wire import F32, MAX_REPLY_BYTES, Reply, ReplyReader

__all__ = ["Controller", "parse_address"]


def _dial(host: str, port: int, timeout: float, deadline: float) -> socket.socket:
    """A connection to host:port; a refused connect is tried again until `deadline` (the
    server may not listen yet)."""
    while True:
        try:
            return socket.create_connection((host, port), timeout=timeout)
        except ConnectionRefusedError:
            if time.monotonic() >= deadline:
                raise
            time.sleep(0.02)


class Controller:
    """A controller connected to `address` (the server's form, "127.0.0.1:9000"; a WebSocket
    address, "ws://HOST:PORT/#k=KEY", makes a velto_tools.websocket.WsController instead).

    The constructor connects, retrying for up to `timeout` seconds while nothing listens
    yet; every later send also gives up after `timeout` seconds. Use it as a context
    manager, or call close().

    A server refuses connections for a moment between two controllers (about half a second
    while the program goes back to ``open()``): the retries bridge that. Replies are read
    by their fixed layout; one that announces more than `max_reply` bytes (by default the
    largest the protocol has, an error text of 4 GiB) is an error before its bytes arrive."""

    def __new__(cls, address: str, *args: Any, **kwargs: Any) -> "Controller":
        if cls is Controller and is_ws_address(address):
            from velto_tools.websocket import WsController

            return object.__new__(WsController)
        return object.__new__(cls)

    def __init__(self, address: str, timeout: float = 5.0, max_reply: int = MAX_REPLY_BYTES) -> None:
        self.address = address
        self.timeout = timeout
        host, port = parse_address(address)
        self._sock = _dial(host, port, timeout, time.monotonic() + timeout)
        self._reader = ReplyReader(max_reply)
        self._ready: Deque[Reply] = deque()
        self._eof = False
        self._reset = False

    # ---- frames ----------------------------------------------------------------------
    def raw(self, data: bytes) -> None:
        """Sends `data` as it is, in one write. The server need not see it in one read: each
        pass (every 500 ms) it takes everything waiting, up to 64 KiB, in reads of up to
        1024 bytes, and completes a frame split over reads (up to 64 KiB) from later ones;
        bytes that cannot be a frame are dropped there, and nothing tells the controller."""
        self._sock.sendall(data)

    def click(self, widget_id: int) -> None:
        self.raw(wire.frame(widget_id, "ClickButton"))

    def toggle(self, widget_id: int, on: bool) -> None:
        self.raw(wire.frame(widget_id, "ToggleButton", bool(on)))

    def confirm(self, widget_id: int) -> None:
        self.raw(wire.frame(widget_id, "ConfirmButton"))

    def press(self, widget_id: int, on: bool) -> None:
        self.raw(wire.frame(widget_id, "PressButton", bool(on)))

    def direction(self, widget_id: int, d: int) -> None:
        """The directional pad: 0 up, 1 right, 2 down, 3 left (the server takes 0-255)."""
        self.raw(wire.frame(widget_id, "DirectionalButton", d))

    def joystick(self, widget_id: int, x: float, y: float, intensity: float) -> None:
        """A joystick's offset from its centre (`x`, `y`, each -1.0 to 1.0) and how far it is
        pushed (`intensity`, 0.0 to 1.0), sent as 32-bit floats."""
        self.raw(wire.frame(widget_id, "Joystick", [F32(x), F32(y)], F32(intensity)))

    # ---- replies ---------------------------------------------------------------------
    def replies(self, timeout: float = 1.0) -> Iterator[Reply]:
        """Yields each reply as it arrives, until `timeout` seconds pass without one or the
        server closes the connection (or resets it). Raises ValueError "not a result frame:
        <why>" for bytes that are no reply, after the replies that came before them; the
        connection gives no more replies after that."""
        while True:
            if self._ready:
                yield self._ready.popleft()
                continue
            if not self._receive(timeout):
                return

    def _receive(self, timeout: float) -> bool:
        """Reads until at least one reply is complete; False after `timeout` seconds or at
        the end of the connection."""
        self._ready.extend(self._reader.feed(b""))  # raises again after a malformed reply
        if self._eof:
            return False
        deadline = time.monotonic() + timeout
        while not self._ready:
            chunk = self._recv_chunk(deadline)
            if chunk is None:
                return False
            if not chunk:
                self._eof = True
                return False
            self._ready.extend(self._reader.feed(chunk))
        return True

    def _recv_chunk(self, deadline: float) -> Optional[bytes]:
        """What one read takes: None when nothing came before `deadline`, b"" at the end of
        the connection (a reset sets `_reset`)."""
        left = max(0.0, deadline - time.monotonic())
        if not select.select([self._sock], [], [], left)[0]:
            return None
        try:
            return self._sock.recv(65536)
        except ConnectionResetError:
            self._reset = True
            return b""

    # ---- lifetime --------------------------------------------------------------------
    @property
    def ended(self) -> bool:
        """True once the server has closed the connection (seen by replies())."""
        return self._eof

    @property
    def reset(self) -> bool:
        """True when the connection ended with a reset rather than a close."""
        return self._reset

    def close(self) -> None:
        self._sock.close()

    def fileno(self) -> int:
        return self._sock.fileno()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()


if __name__ == "__main__":
    import sys

    from velto_tools.cli import main

    sys.exit(main())
