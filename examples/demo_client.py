"""A scripted controller: connects, sends one frame of each kind (plus one for a widget
nobody handles and one malformed frame), prints each reply decoded, and disconnects.

Usage: demo_client.py PORT
"""
import socket
import sys
import time

from velto_wire import F32, frame, read_replies

port = int(sys.argv[1])

FRAMES = [
    ("click button 0", frame(0, "ClickButton"), True),
    ("toggle button 1 on", frame(1, "ToggleButton", True), True),
    ("confirm button 2", frame(2, "ConfirmButton"), True),
    ("press button 3", frame(3, "PressButton", True), True),
    ("direction pad 7 down", frame(7, "DirectionalButton", 2), True),
    ("joystick 5, too hard", frame(5, "Joystick", [F32(0.5), F32(-1.0)], F32(1.5)), True),
    ("toggle button 9 (nobody listens)", frame(9, "ToggleButton", False), False),
    ("a malformed frame", bytes.fromhex("92 01 81 a6 53 6c 69 64 65 72 90"), False),
]

deadline = time.monotonic() + 10
while True:
    try:
        conn = socket.create_connection(("127.0.0.1", port), timeout=1)
        break
    except OSError:
        if time.monotonic() > deadline:
            sys.exit("[client] no server")
        time.sleep(0.05)

conn.settimeout(3)
pending = b""
with conn:
    for label, data, replies in FRAMES:
        print(f"[client] sending {label}: {data.hex(' ')}", flush=True)
        conn.sendall(data)
        if not replies:
            time.sleep(0.6)  # one serving pass: nothing comes back
            continue
        got = []
        while not got:
            pending += conn.recv(4096)
            got, pending = read_replies(pending)
        for widget_id, status, kind, value in got:
            print(f"[client] reply for widget {widget_id}: status {status}, {kind}({value!r})", flush=True)
print("[client] done", flush=True)
