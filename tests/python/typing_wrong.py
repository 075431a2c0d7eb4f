"""Deliberately wrong uses of the module and the companion package: mypy --strict must report
exactly the error named on each marked line (test_typing.py)."""
from velto_protocol import ComSocketServer, ConfirmResult, ErrorResult, ServerStatus, WidgetRegistry, on
from velto_tools import serve_forever
from velto_tools.controller import Controller

server = ComSocketServer(9000)  # E: arg-type (the address is a str)
server.callback(1, "Idle", ConfirmResult(True))  # E: arg-type (the status is a ServerStatus)
server.callback(1, ServerStatus.Idle, "done")  # E: arg-type (data is a result object)
ErrorResult(404)  # E: arg-type (the error is a text)
ok: bool = server.wait_disconnected("1s")  # E: arg-type (a number of seconds or None)


@on(server)
def Joystick_3(w: WidgetRegistry.Joystick) -> None:
    speed: int = w.intensity  # E: assignment (a float)
    print(w.delta.z)  # E: attr-defined (a Coord has x and y only)


Controller("127.0.0.1:9000").toggle(1)  # E: call-arg (toggle(id, on))
serve_forever(server, "127.0.0.1:9000", stop=True)  # E: arg-type (a threading.Event)
