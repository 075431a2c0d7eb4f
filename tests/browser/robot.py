"""The program the browser tests drive: a WebSocket server with one widget of each kind (and a
second joystick and a ToggleButton with id 200), serving one browser after another.

Usage: robot.py PORT   (VELTO_BUILD names the build whose extension it imports)

It writes one JSON line per event on file descriptor 3 (standard output carries the module's
own progress lines):
  {"event": "ready", "url": ..., "token": ...}   before the first open()
  {"event": "connected"} / {"event": "disconnected"}
  {"event": "frame", "kind": K, "id": N, "fields": [...], "wire": HEX}
where `wire` is velto_tools.wire's canonical encoding of the values the handler received
(floats as float 32).
Commands come as JSON lines on standard input:
  {"reply": [ID, STATUS, {"ConfirmResult": BOOL} | {"ErrorResult": TEXT}]}   callback()
  {"echo": BOOL}   answer every frame with callback(id, Idle, ConfirmResult(True))
  {"close": true}  close() the session; the loop opens again
End of input ends the program.
"""
import json
import os
import sys
import threading

BUILD = os.environ.get("VELTO_BUILD") or os.path.join(os.path.dirname(__file__), "..", "..", "build")
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.abspath(os.path.join(BUILD, "py", sys.implementation.name)),
                os.path.abspath(os.path.join(HERE, "..", "..", "python"))]

import velto_protocol as vp  # noqa: E402
from velto_tools import wire  # noqa: E402

WIDGETS = [("ClickButton", 0), ("ToggleButton", 1), ("ConfirmButton", 2), ("PressButton", 3),
           ("Joystick", 5), ("Joystick", 6), ("DirectionalButton", 7), ("ToggleButton", 200)]

events = os.fdopen(3, "w", buffering=1)
lock = threading.Lock()
echo = False


def emit(**event):
    with lock:
        events.write(json.dumps(event) + "\n")


def fields_of(kind, w):
    if kind == "ToggleButton":
        return [w.value]
    if kind == "PressButton":
        return [w.pressed]
    if kind == "DirectionalButton":
        return [w.direction]
    if kind == "Joystick":
        return [[w.delta.x, w.delta.y], w.intensity]
    return []


def canonical(kind, widget_id, fields):
    if kind == "Joystick":
        (x, y), intensity = fields
        return wire.frame(widget_id, kind, [wire.F32(x), wire.F32(y)], wire.F32(intensity))
    return wire.frame(widget_id, kind, *fields)


def handler(server, kind, widget_id):
    def handle(w):
        fields = fields_of(kind, w)
        emit(event="frame", kind=kind, id=widget_id, fields=fields,
             wire=canonical(kind, widget_id, fields).hex(" "))
        if echo:
            server.callback(widget_id, vp.ServerStatus.Idle, vp.ConfirmResult(True))
    return handle


def commands(server):
    global echo
    for line in sys.stdin:
        command = json.loads(line)
        if "echo" in command:
            echo = bool(command["echo"])
        if "reply" in command:
            widget_id, status, result = command["reply"]
            ((kind, value),) = result.items()
            data = vp.ConfirmResult(value) if kind == "ConfirmResult" else vp.ErrorResult(value)
            server.callback(widget_id, getattr(vp.ServerStatus, status), data)
        if command.get("close"):
            server.close()
        emit(event="done", command=command)
    events.flush()
    os._exit(0)  # open() may be waiting for a browser; nothing is left to close


def main():
    server = vp.VeltoPiServer.use_websocket("127.0.0.1:" + sys.argv[1])
    for kind, widget_id in WIDGETS:
        server.on(widget_id, kind, handler(server, kind, widget_id))
    threading.Thread(target=commands, args=(server,), daemon=True).start()
    emit(event="ready", url=server.url, token=server.token)
    while True:
        server.open()
        server.serve()
        emit(event="connected")
        server.wait_disconnected()
        server.close()
        emit(event="disconnected")


if __name__ == "__main__":
    main()
