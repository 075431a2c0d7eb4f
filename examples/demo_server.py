"""An example server: a handler for every widget kind, each answering with a result frame.

Usage: demo_server.py PORT [EXPECTED_FRAMES]
Registers handlers with server.on and with the on(server) decorator, opens 127.0.0.1:PORT,
serves the one client that connects, and closes once EXPECTED_FRAMES frames were handled
(or after 20 seconds).
"""
from __future__ import annotations

import sys
import threading
import time

import velto_protocol as vp
from velto_protocol import ConfirmResult, ErrorResult, ServerStatus, VeltoPiServer, WidgetRegistry, on

port = int(sys.argv[1])
expected = int(sys.argv[2]) if len(sys.argv) > 2 else 6
server = VeltoPiServer.use_socket(f"127.0.0.1:{port}")
handled = threading.Semaphore(0)


def answer(widget_id: int, result: ConfirmResult | ErrorResult, status: ServerStatus = ServerStatus.Idle) -> None:
    server.callback(widget_id, status, result)
    handled.release()


# Registered directly: kind name, id, callable.
def toggled(w: WidgetRegistry.ToggleButton) -> None:
    print(f"[handler] toggle button 1 is now {'on' if w.value else 'off'}", flush=True)
    answer(1, ConfirmResult(w.value))


def pressed(w: WidgetRegistry.PressButton) -> None:
    print(f"[handler] press button 3 {'pressed' if w.pressed else 'released'}", flush=True)
    answer(3, ConfirmResult(True))


server.on(1, "ToggleButton", toggled)
server.on(3, "PressButton", pressed)


# Registered by name: the decorator reads kind and id from the function's name.
@on(server)
def ClickButton_0(w: WidgetRegistry.ClickButton) -> None:
    print("[handler] click button 0 clicked", flush=True)
    answer(0, ConfirmResult(True))


@on(server)
def ConfirmButton_2(w: WidgetRegistry.ConfirmButton) -> None:
    print("[handler] confirm button 2 confirmed", flush=True)
    answer(2, ConfirmResult(True), ServerStatus.Busy)


@on(server)
def DirectionalButton_7(w: WidgetRegistry.DirectionalButton) -> None:
    names = {0: "up", 1: "right", 2: "down", 3: "left"}
    print(f"[handler] direction pad 7 points {names.get(w.direction, w.direction)}", flush=True)
    answer(7, ConfirmResult(True))


@on(server)
def Joystick_5(w: WidgetRegistry.Joystick) -> None:
    d = w.delta
    print(f"[handler] joystick 5 at ({d.x}, {d.y}), intensity {w.intensity:.2f}", flush=True)
    if w.intensity > 1.0:
        answer(5, ErrorResult("intensity above 1.0"), ServerStatus.Error)
    else:
        answer(5, ConfirmResult(True))


print(f"[server] module exports {vp.__all__}", flush=True)
print(f"[server] waiting for a controller on 127.0.0.1:{port}", flush=True)
server.open()
print("[server] controller connected, serving", flush=True)
server.serve()
for _ in range(expected):
    if not handled.acquire(timeout=20):
        print("[server] gave up waiting for frames", flush=True)
        break
time.sleep(1.6)  # two more passes: the frame nobody handles and the malformed one
server.close()
print("[server] closed", flush=True)
time.sleep(0.6)  # the serving thread's last pass: it sees the stop and says so
