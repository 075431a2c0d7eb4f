"""The `velto-controller` command line: send one frame, play a script of frames, or turn the
terminal into a controller (pad); each prints the replies as they come."""
from __future__ import annotations

import argparse
import os
import select
import sys
import time
from typing import Dict, List, NoReturn, Optional, TextIO, Tuple

from velto_tools import wire
from velto_tools.address import is_ws_address, parse_address, parse_ws_address
from velto_tools.controller import Controller
from velto_tools.wire import F32, Reply

PROG = "velto-controller"

USAGES = {
    "send": f"{PROG} send ADDRESS KIND ID [FIELD...] [--wait S]",
    "play": f"{PROG} play ADDRESS FILE [--wait S]",
    "pad": f"{PROG} pad ADDRESS [--pad ID] [--click ID] [--toggle ID] [--confirm ID] [--press ID] "
           "[--joystick ID]",
}

FIELDS_HELP = """\
kinds and their fields:
  ClickButton ID                      ConfirmButton ID
  ToggleButton ID on|off              PressButton ID on|off
  DirectionalButton ID up|right|down|left|0-255
  Joystick ID X Y INTENSITY           (X, Y from -1.0 to 1.0; INTENSITY from 0.0 to 1.0)
  raw HEX...                          (bytes sent as they are, no ID)
play files: one frame a line, "DELAY_MS KIND ID [FIELD...]"; '#' starts a comment.
exit status: 0 when replies came, 1 when none came, the connection failed or a reply was
malformed, 2 for bad arguments."""

# The pad's keys: what each sends. Widget ids come from the options (0 when not given).
PAD_KEYS = """\
keys: arrows: pad   space: click   t: toggle   c: confirm   p: press/release
      wasd: joystick (full deflection)   x: joystick to the centre (stops it)   q: quit"""

PAD_WIDGETS = ("pad", "click", "toggle", "confirm", "press", "joystick")

ADDRESS_HELP = "the server: HOST:PORT, or over WebSocket the URL it prints, ws://HOST:PORT/#k=KEY"

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
            return wire.frame(widget_id, kind, [F32(x), F32(y)], F32(intensity))
        except ValueError:
            raise ValueError(f"{kind}: X, Y and INTENSITY are numbers: {' '.join(fields)!r}") from None
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


def show_until(controller: Controller, deadline: float, out: TextIO) -> int:
    """Prints each reply that arrives before `deadline` (a time.monotonic() value); the
    number printed."""
    shown = 0
    while not controller.ended:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        reply = next(controller.replies(left), None)
        if reply is not None:
            show(reply, out)
            shown += 1
    return shown


class _Pad:
    """What the pad's keys send: the frame's words for a key, or None for another key."""

    def __init__(self, ids: Dict[str, int]) -> None:
        self.ids = ids
        self.toggled = False
        self.pressed = False

    def frame_for(self, key: str) -> Optional[str]:
        ids = self.ids
        arrows = {"\x1b[A": 0, "\x1b[C": 1, "\x1b[B": 2, "\x1b[D": 3}
        stick = {"w": (0.0, 1.0, 1.0), "a": (-1.0, 0.0, 1.0), "s": (0.0, -1.0, 1.0),
                 "d": (1.0, 0.0, 1.0), "x": (0.0, 0.0, 0.0)}
        if key in arrows:
            return f"DirectionalButton {ids['pad']} {DIRECTIONS[arrows[key]]}"
        if key == " ":
            return f"ClickButton {ids['click']}"
        if key == "c":
            return f"ConfirmButton {ids['confirm']}"
        if key == "t":
            self.toggled = not self.toggled
            return f"ToggleButton {ids['toggle']} {'on' if self.toggled else 'off'}"
        if key == "p":
            self.pressed = not self.pressed
            return f"PressButton {ids['press']} {'on' if self.pressed else 'off'}"
        if key in stick:
            x, y, intensity = stick[key]
            return f"Joystick {ids['joystick']} {x:+.1f} {y:+.1f} {intensity:.1f}"
        return None


def run_pad(controller: Controller, ids: Dict[str, int], keys: TextIO, out: TextIO) -> None:
    """The interactive controller: keys from the terminal `keys` (put in cbreak mode while
    it runs), frames to `controller`, replies to `out` as they come."""
    import termios
    import tty

    fd = keys.fileno()
    saved = termios.tcgetattr(fd)
    tty.setcbreak(fd)
    pad = _Pad(ids)
    out.write(PAD_KEYS + "\n" + "ids: " + "   ".join(f"{name} {ids[name]}" for name in PAD_WIDGETS) + "\n")
    out.flush()
    buffered = b""
    try:
        while True:
            ready = select.select([fd, controller], [], [])[0]
            if controller in ready:
                for reply in controller.replies(0):
                    show(reply, out)
                if controller.ended:
                    out.write(f"server {_ending(controller)}\n")
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
                words = pad.frame_for(key)
                if words is None:
                    continue
                kind, *args = words.split()
                controller.raw(build_frame(kind, args))
                out.write(f"sent {words}\n")
                out.flush()
    finally:
        termios.tcsetattr(fd, termios.TCSADRAIN, saved)


def _ending(controller: Controller) -> str:
    """How the connection ended: "reset the connection", "closed the connection", over
    WebSocket with the code of the server's close frame when it sent one."""
    if controller.reset:
        return "reset the connection"
    code = getattr(controller, "close_code", None)  # 1005 and 1006 stand for no code
    return "closed the connection" + (f" (close code {code})" if code is not None and code not in (1005, 1006) else "")


def _fail(message: str, status: int = 1) -> NoReturn:
    sys.stdout.flush()
    sys.stderr.write(f"{PROG}: {message}\n")
    sys.exit(status)


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, usage="\n".join(USAGES.values()), epilog=FIELDS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
        description="A controller for a velto_protocol server: sends frames, prints the replies.")
    sub = parser.add_subparsers(dest="command", required=True)
    p_send = sub.add_parser("send", usage=USAGES["send"], epilog=FIELDS_HELP,
                            formatter_class=argparse.RawDescriptionHelpFormatter,
                            help="send one frame, print the replies")
    p_send.add_argument("address", metavar="ADDRESS", help=ADDRESS_HELP)
    p_send.add_argument("kind", metavar="KIND", help="a widget kind (below) or raw")
    p_send.add_argument("words", nargs="*", metavar="ID [FIELD...]")
    p_play = sub.add_parser("play", usage=USAGES["play"], epilog=FIELDS_HELP,
                            formatter_class=argparse.RawDescriptionHelpFormatter,
                            help="replay a script of frames")
    p_play.add_argument("address", metavar="ADDRESS", help=ADDRESS_HELP)
    p_play.add_argument("file", metavar="FILE", help='lines of "DELAY_MS KIND ID [FIELD...]"')
    for p in (p_send, p_play):
        p.add_argument("--wait", type=float, default=1.0, metavar="S",
                       help="seconds to print replies after the last frame (default 1); "
                            "no reply by then is an error")
    p_pad = sub.add_parser("pad", usage=USAGES["pad"], epilog=PAD_KEYS,
                           formatter_class=argparse.RawDescriptionHelpFormatter,
                           help="an interactive controller in this terminal")
    p_pad.add_argument("address", metavar="ADDRESS", help=ADDRESS_HELP)
    for name in PAD_WIDGETS:
        p_pad.add_argument(f"--{name}", type=int, default=0, metavar="ID",
                           help=f"id of the {name} widget (default 0)")
    return parser


def main(argv: Optional[List[str]] = None) -> int:
    parser = _parser()
    args = parser.parse_args(argv)

    try:
        if is_ws_address(args.address):
            parse_ws_address(args.address)
        else:
            parse_address(args.address)
        if args.command == "send":
            steps = [(0.0, build_frame(args.kind, args.words))]
        elif args.command == "play":
            steps = read_script(args.file)
        else:
            for name in PAD_WIDGETS:
                if not 0 <= getattr(args, name) <= 255:
                    raise ValueError(f"--{name}: the widget id is a number from 0 to 255")
            if not sys.stdin.isatty():
                raise ValueError("pad needs a terminal on standard input")
    except (ValueError, OSError) as e:
        _fail(str(e), 2)
    try:
        controller = Controller(args.address)
    except OSError as e:
        _fail(f"cannot connect to {args.address}: {e}")
    try:
        with controller:
            if args.command == "pad":
                run_pad(controller, {name: getattr(args, name) for name in PAD_WIDGETS}, sys.stdin, sys.stdout)
                return 0
            shown = 0
            for n, (delay, data) in enumerate(steps):
                shown += show_until(controller, time.monotonic() + delay, sys.stdout)
                if controller.ended:
                    _fail(f"the server {_ending(controller)} after {n} of {len(steps)} frames")
                controller.raw(data)
            shown += show_until(controller, time.monotonic() + args.wait, sys.stdout)
            if shown == 0:
                if controller.ended:
                    _fail(f"the server {_ending(controller)} without a reply")
                _fail(f"no reply within {args.wait:g} s")
    except ValueError as e:  # a malformed reply
        _fail(str(e))
    except OSError as e:  # the connection reset, a send that failed
        _fail(f"connection to {args.address} lost: {e.strerror or e}")
    except KeyboardInterrupt:
        _fail("interrupted", 130)
    return 0


if __name__ == "__main__":
    sys.exit(main())
