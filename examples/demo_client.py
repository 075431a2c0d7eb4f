"""A scripted controller: connects, sends one frame of each kind (plus one for a widget
nobody handles and one malformed frame), prints each reply decoded, and disconnects.

Usage: demo_client.py PORT
"""
import sys
from typing import Callable, List, Tuple

from velto_tools.controller import Controller

port = int(sys.argv[1])

STEPS: List[Tuple[str, Callable[[Controller], None], bool]] = [
    ("click button 0", lambda c: c.click(0), True),
    ("toggle button 1 on", lambda c: c.toggle(1, True), True),
    ("confirm button 2", lambda c: c.confirm(2), True),
    ("press button 3", lambda c: c.press(3, True), True),
    ("direction pad 7 down", lambda c: c.direction(7, 2), True),
    ("joystick 5, too hard", lambda c: c.joystick(5, 0.5, -1.0, 1.5), True),
    ("toggle button 9 (nobody listens)", lambda c: c.toggle(9, False), False),
    ("a malformed frame", lambda c: c.raw(bytes.fromhex("92 01 81 a6 53 6c 69 64 65 72 90")), False),
]

try:
    controller = Controller(f"127.0.0.1:{port}", timeout=10)
except OSError:
    sys.exit("[client] no server")

with controller:
    for label, send, answered in STEPS:
        print(f"[client] sending {label}", flush=True)
        send(controller)
        # A handled frame gets its reply within a serving pass or two; otherwise one
        # pass (500 ms) shows that nothing comes back.
        for reply in controller.replies(3.0 if answered else 0.6):
            print(f"[client] reply for widget {reply.id}: status {reply.status}, {reply.result!r}", flush=True)
            if answered:
                break
print("[client] done", flush=True)
