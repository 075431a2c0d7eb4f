"""A fake controller: connects to a server, sends frames, reads the replies."""
from __future__ import annotations

import select
import socket
import time
from collections import deque
from types import TracebackType
from typing import Deque, Iterator, Optional, Tuple, Type

from velto_tools import wire
from velto_tools.wire import F32, Reply


def parse_address(text: str) -> Tuple[str, int]:
    """("host", port) of an address in the server's form: "127.0.0.1:9000", "[::1]:9000",
    "localhost:9000". Raises ValueError for anything else."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ValueError(f"not an address of the form HOST:PORT: {text!r}")
    return host, int(port)


class Controller:
    """A controller connected to `address` (the server's form, "127.0.0.1:9000").

    The constructor connects, retrying for up to `timeout` seconds while nothing listens
    yet; every later send also gives up after `timeout` seconds. Use it as a context
    manager, or call close()."""

    def __init__(self, address: str, timeout: float = 5.0) -> None:
        self.address = address
        self.timeout = timeout
        host, port = parse_address(address)
        deadline = time.monotonic() + timeout
        while True:
            try:
                self._sock = socket.create_connection((host, port), timeout=timeout)
                break
            except ConnectionRefusedError:
                if time.monotonic() >= deadline:
                    raise
                time.sleep(0.02)
        self._pending = b""
        self._ready: Deque[Reply] = deque()
        self._eof = False

    # ---- frames ----------------------------------------------------------------------
    def raw(self, data: bytes) -> None:
        """Sends `data` as it is (one write: the server reads one frame per read)."""
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
        server closes the connection. Raises ValueError for bytes that are no reply."""
        while True:
            if self._ready:
                yield self._ready.popleft()
                continue
            if self._eof or not self._receive(timeout):
                return

    def _receive(self, timeout: float) -> bool:
        """Reads until at least one reply is complete; False after `timeout` seconds or at
        the end of the connection."""
        deadline = time.monotonic() + timeout
        while not self._ready:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self._sock], [], [], left)[0]:
                return False
            try:
                chunk = self._sock.recv(65536)
            except ConnectionResetError:
                chunk = b""
            if not chunk:
                self._eof = True
                return False
            got, self._pending = wire.read_replies(self._pending + chunk)
            self._ready.extend(got)
        return True

    # ---- lifetime --------------------------------------------------------------------
    def close(self) -> None:
        self._sock.close()

    def fileno(self) -> int:
        return self._sock.fileno()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()
