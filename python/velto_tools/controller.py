"""A fake controller: connects to a server, sends frames, reads the replies; and the
`velto-controller` command line built on it (send, play, pad)."""
from __future__ import annotations

import os
import select
import socket
import sys
import time
from collections import deque
from types import TracebackType
from typing import Deque, Dict, Iterator, List, Optional, TextIO, Tuple, Type

from velto_tools import wire
from velto_tools.address import parse_address
from velto_tools.wire import F32, Reply


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
            left = max(0.0, deadline - time.monotonic())
            if not select.select([self._sock], [], [], left)[0]:
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
    @property
    def ended(self) -> bool:
        """True once the server has closed the connection (seen by replies())."""
        return self._eof

    def close(self) -> None:
        self._sock.close()

    def fileno(self) -> int:
        return self._sock.fileno()

    def __enter__(self) -> "Controller":
        return self

    def __exit__(self, exc_type: Optional[Type[BaseException]], exc: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()


# ---- command line --------------------------------------------------------------------
USAGE = """\
velto-controller send ADDRESS KIND ID [FIELD...] [--wait S]
velto-controller play ADDRESS FILE [--wait S]
velto-controller pad ADDRESS [--pad ID] [--click ID] [--toggle ID] [--joystick ID]"""

FIELDS_HELP = """\
kinds and their fields:
  ClickButton ID                      ConfirmButton ID
  ToggleButton ID on|off              PressButton ID on|off
  DirectionalButton ID up|right|down|left|0-255
  Joystick ID X Y INTENSITY           (X, Y from -1.0 to 1.0; INTENSITY from 0.0 to 1.0)
  raw HEX...                          (bytes sent as they are, no ID)
play files: one frame a line, "DELAY_MS KIND ID [FIELD...]"; '#' starts a comment."""

DIRECTIONS = ("up", "right", "down", "left")
_SWITCH = {"on": True, "off": False, "true": True, "false": False, "1": True, "0": False}
_FIELD_COUNTS = {"ClickButton": 0, "ConfirmButton": 0, "ToggleButton": 1, "PressButton": 1,
                 "DirectionalButton": 1, "Joystick": 3}


def build_frame(kind: str, args: List[str]) -> bytes:
    """The bytes of a frame given as words on a command line ("Joystick 5 0.5 -1 0.8",
    "raw 92 00 81 ..."); ValueError with a readable text when they do not make one."""
    if kind.lower() == "raw":
        try:
            return bytes.fromhex("".join(args))
        except ValueError:
            raise ValueError(f"raw: not hex bytes: {' '.join(args)!r}") from None
    names = {k.lower(): k for k in wire.KINDS}
    if kind.lower() not in names:
        raise ValueError(f"unknown kind {kind!r} (one of {', '.join(wire.KINDS)}, raw)")
    kind = names[kind.lower()]
    if not args or not args[0].isdigit() or int(args[0]) > 255:
        raise ValueError(f"{kind}: the widget id is a number from 0 to 255")
    widget_id, fields = int(args[0]), args[1:]
    if len(fields) != _FIELD_COUNTS[kind]:
        raise ValueError(f"{kind}: expected {_FIELD_COUNTS[kind]} field(s) after the id, got {len(fields)}")
    if kind in ("ToggleButton", "PressButton"):
        if fields[0].lower() not in _SWITCH:
            raise ValueError(f"{kind}: expected on or off, got {fields[0]!r}")
        return wire.frame(widget_id, kind, _SWITCH[fields[0].lower()])
    if kind == "DirectionalButton":
        d = fields[0].lower()
        if d in DIRECTIONS:
            return wire.frame(widget_id, kind, DIRECTIONS.index(d))
        if not d.isdigit() or int(d) > 255:
            raise ValueError(f"{kind}: expected up, right, down, left or 0-255, got {fields[0]!r}")
        return wire.frame(widget_id, kind, int(d))
    if kind == "Joystick":
        try:
            x, y, intensity = (float(f) for f in fields)
        except ValueError:
            raise ValueError(f"{kind}: X, Y and INTENSITY are numbers: {' '.join(fields)!r}") from None
        return wire.frame(widget_id, kind, [F32(x), F32(y)], F32(intensity))
    return wire.frame(widget_id, kind)


def read_script(path: str) -> List[Tuple[float, bytes]]:
    """The (delay in seconds, frame) pairs of a play file; ValueError naming FILE:LINE."""
    steps = []
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            words = line.split("#", 1)[0].split()
            if not words:
                continue
            try:
                if len(words) < 2 or not words[0].isdigit():
                    raise ValueError("expected DELAY_MS KIND ID [FIELD...]")
                steps.append((int(words[0]) / 1000, build_frame(words[1], words[2:])))
            except ValueError as e:
                raise ValueError(f"{path}:{n}: {e}") from None
    return steps


def show(reply: Reply, out: TextIO) -> None:
    out.write(f"reply id={reply.id} status={reply.status} {reply.result!r}\n")
    out.flush()


def _show_until(controller: Controller, deadline: float, out: TextIO) -> None:
    """Prints each reply that arrives before `deadline` (a time.monotonic() value)."""
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return
        reply = next(controller.replies(left), None)
        if reply is None:
            if controller.ended:
                return
            continue
        show(reply, out)


def run_pad(controller: Controller, ids: Dict[str, int], keys: TextIO, out: TextIO) -> None:
    """The interactive controller: keys from the terminal `keys` (put in cbreak mode while
    it runs), frames to `controller`, replies to `out` as they come."""
    import termios
    import tty

    fd = keys.fileno()
    saved = termios.tcgetattr(fd)
    tty.setcbreak(fd)
    toggled = False
    arrows = {"A": 0, "C": 1, "B": 2, "D": 3}
    stick = {"w": (0.0, 1.0), "a": (-1.0, 0.0), "s": (0.0, -1.0), "d": (1.0, 0.0)}
    out.write("arrows: pad %(pad)d   space: click %(click)d   t: toggle %(toggle)d   "
              "wasd: joystick %(joystick)d   q: quit\n" % ids)
    out.flush()
    buffered = b""
    try:
        while True:
            ready = select.select([fd, controller], [], [])[0]
            if controller in ready:
                for reply in controller.replies(0):
                    show(reply, out)
                if controller.ended:
                    out.write("server closed the connection\n")
                    return
            if fd not in ready:
                continue
            chunk = os.read(fd, 64)
            if not chunk:
                return
            buffered += chunk
            while buffered:
                if buffered.startswith(b"\x1b["):
                    if len(buffered) < 3:
                        break
                    key, buffered = buffered[:3].decode("latin-1"), buffered[3:]
                else:
                    key, buffered = buffered[:1].decode("latin-1"), buffered[1:]
                if key == "q":
                    return
                if key[2:] in arrows and key.startswith("\x1b["):
                    d = arrows[key[2:]]
                    controller.direction(ids["pad"], d)
                    sent = f"DirectionalButton {ids['pad']} {DIRECTIONS[d]}"
                elif key == " ":
                    controller.click(ids["click"])
                    sent = f"ClickButton {ids['click']}"
                elif key == "t":
                    toggled = not toggled
                    controller.toggle(ids["toggle"], toggled)
                    sent = f"ToggleButton {ids['toggle']} {'on' if toggled else 'off'}"
                elif key in stick:
                    x, y = stick[key]
                    controller.joystick(ids["joystick"], x, y, 1.0)
                    sent = f"Joystick {ids['joystick']} {x:+.1f} {y:+.1f} 1.0"
                else:
                    continue
                out.write(f"sent {sent}\n")
                out.flush()
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def main(argv: Optional[List[str]] = None) -> int:
    import argparse

    parser = argparse.ArgumentParser(
        prog="velto-controller", usage=USAGE, epilog=FIELDS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="A controller for a velto_protocol server: sends frames, prints the replies.")
    sub = parser.add_subparsers(dest="command", required=True)
    p_send = sub.add_parser("send", help="send one frame, print the replies")
    p_send.add_argument("address")
    p_send.add_argument("kind")
    p_send.add_argument("words", nargs="*", metavar="ID [FIELD...]")
    p_play = sub.add_parser("play", help="replay a script of frames")
    p_play.add_argument("address")
    p_play.add_argument("file")
    for p in (p_send, p_play):
        p.add_argument("--wait", type=float, default=1.0,
                       help="seconds to print replies after the last frame (default 1)")
    p_pad = sub.add_parser("pad", help="an interactive controller in this terminal")
    p_pad.add_argument("address")
    for name in ("pad", "click", "toggle", "joystick"):
        p_pad.add_argument(f"--{name}", type=int, default=0, metavar="ID", help=f"id of the {name} widget")
    args = parser.parse_args(argv)

    try:
        parse_address(args.address)
        if args.command == "send":
            steps = [(0.0, build_frame(args.kind, args.words))]
        elif args.command == "play":
            steps = read_script(args.file)
        elif not sys.stdin.isatty():
            raise ValueError("pad needs a terminal on standard input")
    except (ValueError, OSError) as e:
        parser.exit(2, f"velto-controller: {e}\n")
    try:
        controller = Controller(args.address)
    except OSError as e:
        parser.exit(1, f"velto-controller: cannot connect to {args.address}: {e}\n")
    with controller:
        if args.command == "pad":
            ids = {name: getattr(args, name) for name in ("pad", "click", "toggle", "joystick")}
            run_pad(controller, ids, sys.stdin, sys.stdout)
            return 0
        for delay, data in steps:
            _show_until(controller, time.monotonic() + delay, sys.stdout)
            controller.raw(data)
        _show_until(controller, time.monotonic() + args.wait, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
